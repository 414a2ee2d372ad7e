// SPDX-License-Identifier: GPL-3.0-or-later
// Stdout output of the module simulator.
#include "traffic_log.h"

#include <cstdio>

void printLine(const QString& line)
{
    const QByteArray text = line.toLocal8Bit() + '\n';
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stdout);
    std::fflush(stdout);
}

QString endpointText(const QHostAddress& address, quint16 port)
{
    return QString("%1:%2").arg(address.toString()).arg(port);
}

void logTraffic(const QString& channel, const QString& peer, const QString& direction,
                const QByteArray& bytes)
{
    printLine(QString("%1 %2 %3 %4 bytes: %5")
                  .arg(channel, peer, direction)
                  .arg(bytes.size())
                  .arg(QString::fromLatin1(bytes.toHex(' '))));
}
