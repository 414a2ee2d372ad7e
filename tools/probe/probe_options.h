// SPDX-License-Identifier: GPL-3.0-or-later
// The probe's command line: what to send, where, how often and for how long,
// and what to write. Every value is checked here, before anything is sent.
#pragma once

#include "codec/request_encoder.h"

#include <QSize>
#include <QString>
#include <QStringList>

struct ProbeOptions {
    QString host;
    RequestTexts texts;
    // Each request carries its sequence number as invoke ID, unless
    // --invoke-id fixes one.
    bool numberedInvokeIds = true;
    bool udp = false;
    quint16 port = 0; // the protocol's own port unless --port was given

    qint64 count = 0; // requests in all; 0 = no limit
    qint64 deadlineMs = 0; // run length; 0 = no limit
    int intervalMs = 1000; // from a reply (or a timeout) to the next request
    int timeoutMs = 1000; // a request unanswered this long is lost
    int connections = 1;
    int connectTimeoutMs = 5000;
    // Back to back on one connection, how long a wait for a reply may go
    // without sleeping first, while that gives shorter cycles; 0 never.
    int busyPollUs = 50;

    bool quiet = false;
    bool json = false;
    QString csvPath;
    QString plotPath;
    QSize plotSize{1200, 800};

    quint16 effectivePort() const;
    QString protocolName() const { return udp ? QStringLiteral("UDP") : QStringLiteral("TCP"); }
};

struct ProbeCommandLine {
    enum class Action { Run, Help, Version, Error };
    Action action = Action::Error;
    ProbeOptions options;
    QString error; // for Error: names the option and quotes the value
};

// `arguments` includes the program name first, as QCoreApplication gives it.
ProbeCommandLine parseProbeCommandLine(const QStringList& arguments);

// The --help text, GNU style.
QString probeHelpText();

// The plot's file format, from its name; empty for a name it cannot write.
QString plotFormat(const QString& path);
