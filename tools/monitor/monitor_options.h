// SPDX-License-Identifier: GPL-3.0-or-later
// The monitor's command line: vexa-monitor [--listen HOST:PORT] CONFIG.
#pragma once

#include <QString>
#include <QStringList>

// Where /metrics is served unless --listen says otherwise: loopback only, so
// that exposing the figures on the plant network is a decision.
inline constexpr char kDefaultListenHost[] = "127.0.0.1";
inline constexpr quint16 kDefaultListenPort = 9720;

struct ListenAddress {
    QString host = QLatin1String(kDefaultListenHost); // an IPv4 address
    quint16 port = kDefaultListenPort; // 0: any free port
    // "HOST:PORT", as the web server and the messages take it.
    QString text() const { return QStringLiteral("%1:%2").arg(host).arg(port); }
};

struct MonitorCommandLine {
    enum class Action { Run, Help, Version, Error };
    Action action = Action::Run;
    QString configPath;
    ListenAddress listen;
    QString error; // for Error
};

// `arguments` includes the program's name first.
MonitorCommandLine parseMonitorCommandLine(const QStringList& arguments);

QString monitorHelpText();
