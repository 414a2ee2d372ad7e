// SPDX-License-Identifier: GPL-3.0-or-later
// vexa-probe under load: the program run as a user runs it against the
// module simulator, its JSON summary read back.
#pragma once

#include <QString>
#include <QStringList>

struct ProbeRun {
    bool ok = false;
    QString error;
    double perSecond = 0; // requests per second, all connections together
    double p50Ms = 0; // median round trip
    long lost = 0;
};

// `protocol` is "tcp" or "udp"; `simArgs` go to the simulator on `address`,
// `probeArgs` to the probe.
ProbeRun runProbe(const QString& address, const QString& protocol, long requests, int connections,
                  const QStringList& simArgs, const QStringList& probeArgs = {});
// The same against whatever answers at `address`:`port`.
ProbeRun runProbeAt(const QString& address, const QString& protocol, quint16 port, long requests,
                    int connections, const QStringList& probeArgs = {});
