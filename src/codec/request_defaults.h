// SPDX-License-Identifier: GPL-3.0-or-later
// The default request as RequestTexts: what a fresh window's boxes show, a
// request file leaves out and the probe sends when given no request option.
#pragma once

#include "codec/default_request.h"
#include "codec/request_encoder.h"

inline RequestTexts defaultRequestTexts()
{
    RequestTexts texts;
    texts.comId = QLatin1String(frame::kDefaultComIdText);
    texts.src = QLatin1String(frame::kDefaultSrcText);
    texts.invokeId = QLatin1String(frame::kDefaultInvokeIdText);
    texts.cmnd = QLatin1String(frame::kDefaultCmndText);
    texts.dataType = QLatin1String(frame::kDefaultDataTypeText);
    texts.varNo = QLatin1String(frame::kDefaultVarNoText);
    texts.data = QLatin1String(frame::kDefaultDataText);
    return texts;
}
