// SPDX-License-Identifier: GPL-3.0-or-later
// One exchange spelled out for the log's detail view: the request and the
// reply field by field in hex, in the frame layout's own fields, and what
// the reply's failed checks found.
#pragma once

#include "session/exchange.h"

#include <QString>

// Lines of fixed-width text, for a monospace view.
QString exchangeDetailText(const Exchange& exchange);
