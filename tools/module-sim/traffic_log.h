// SPDX-License-Identifier: GPL-3.0-or-later
// Stdout lines of the simulator: the ready line and the -v traffic trace.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>

// Writes one line to stdout and flushes, so a pipe reader sees it at once.
void printLine(const QString& line);

// "address:port", as the trace names a peer.
QString endpointText(const QHostAddress& address, quint16 port);

// One -v trace line: "<channel> <peer> <direction> <n> bytes: <hex>".
void logTraffic(const QString& channel, const QString& peer, const QString& direction,
                const QByteArray& bytes);
