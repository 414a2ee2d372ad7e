// SPDX-License-Identifier: GPL-3.0-or-later
// The exchange log written out as the probe's CSV, whole or not at all.
#pragma once

#include <QString>

#include <optional>

class ExchangeLogModel;

// One row per request exchange kept in the log, oldest first, under the
// probe's header; reply bytes that answered nothing have no row. Written to
// a temporary file that replaces `path` only once all of it is stored, so
// that a failure leaves an earlier file whole. The reason it failed, if it
// did.
std::optional<QString> exportExchangeLog(const ExchangeLogModel& log, const QString& path);
