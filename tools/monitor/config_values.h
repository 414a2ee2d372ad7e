// SPDX-License-Identifier: GPL-3.0-or-later
// The values of the monitor's targets file, each checked on its own:
// durations, hosts and label names.
#pragma once

#include <QString>
#include <QStringView>

#include <optional>

// "500ms", "1s", "1.5s", "2m", "1h": a number (fractions allowed) and its
// unit, as whole milliseconds rounded to the nearest; nothing for any other
// text, a bare number included (is "5" seconds or milliseconds?).
std::optional<qint64> parseDurationMs(QStringView text);

// A duration as the file would write it, for messages: "1s", "500ms", "1.5s".
QString durationText(qint64 ms);

// An IPv4 or IPv6 address (the latter bare or in brackets), or a host name
// by its syntax: dot-separated labels of letters, digits and inner hyphens,
// 63 characters each, 253 in all. Nothing is looked up: a name that does not
// resolve is the connection's failure, later. Text of digits and dots only
// must be a whole IPv4 address, so that "10.0.0.300" is refused rather than
// taken for a name.
bool isHostSyntax(const QString& host);

// The host as the socket and the metrics take it: an IPv6 address without
// its brackets, anything else as it is.
QString bareHost(const QString& host);

// A Prometheus label name: a letter or underscore, then letters, digits and
// underscores; names that start with two underscores are Prometheus's own.
bool isLabelName(QStringView name);
