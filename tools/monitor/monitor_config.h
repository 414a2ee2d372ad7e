// SPDX-License-Identifier: GPL-3.0-or-later
// The monitor's targets file: one INI-like section per target, read line by
// line so that every error names the file, the line and the reason.
// QSettings reads such files too, but it cannot say on which line a value
// was, nor refuse an unknown key, so the file has a small parser of its own.
#pragma once

#include "codec/request_encoder.h"
#include "codec/request_file.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <utility>
#include <vector>

// A request every second, each waiting at most a second for its reply.
inline constexpr qint64 kDefaultIntervalMs = 1000;
inline constexpr qint64 kDefaultReplyTimeoutMs = 1000;
// Faster than this is a load test, which is vexa-probe's job; slower than an
// hour is not watching.
inline constexpr qint64 kMinIntervalMs = 10;
inline constexpr qint64 kMaxIntervalMs = 3'600'000;

// One module to watch, with every default applied.
struct TargetConfig {
    QString name;
    QString host; // an IPv6 address without brackets
    RequestProtocol protocol = RequestProtocol::Tcp;
    quint16 port = 0;
    QString requestPath; // absolute
    // The request file's texts; the invoke ID is left to the monitor, which
    // numbers its requests.
    RequestTexts texts;
    qint64 intervalMs = kDefaultIntervalMs;
    qint64 replyTimeoutMs = kDefaultReplyTimeoutMs;
    // The file's own labels (label.NAME = value), sorted by name.
    std::vector<std::pair<QString, QString>> labels;
    int line = 0; // of the section's header, for messages
};

// Whether two targets send the same requests to the same place at the same
// pace; `line` does not count.
bool sameSettings(const TargetConfig& a, const TargetConfig& b);

// The text of the protocol as the file and the metrics write it.
QString protocolName(RequestProtocol protocol);

struct MonitorConfig {
    std::vector<TargetConfig> targets; // in the file's order
};

// A file read: its targets, or "file:line: reason".
struct MonitorConfigRead {
    std::optional<MonitorConfig> config;
    QString error;
};

// Reads a targets file from its bytes. `fileName` names it in messages;
// request files named by a relative path are looked for in `baseDir`. Each
// request file is loaded and must hold a request that can be sent.
MonitorConfigRead parseMonitorConfig(const QByteArray& text, const QString& fileName, const QString& baseDir);

// parseMonitorConfig on the file at `path`, relative request files taken
// from its folder.
MonitorConfigRead loadMonitorConfig(const QString& path);
