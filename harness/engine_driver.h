// SPDX-License-Identifier: GPL-3.0-or-later
// A session engine without any window, opened as a program would open it,
// with every event it raises recorded in order.
#pragma once

#include "session/session_engine.h"

#include <QList>
#include <QPair>
#include <QStringList>

struct EngineDriver {
    explicit EngineDriver(ClientSocket::Protocol protocol = ClientSocket::Protocol::Tcp);

    // Connect (TCP, waiting for the connection) or Start (UDP); false when
    // the connection did not open.
    bool open(const QString& host, quint16 port);
    // The round trips in milliseconds, as decimal texts, of the arrivals that
    // were timed, in order.
    QStringList shownTimes() const;

    SessionEngine engine;
    QList<SentRequest> sent;
    QList<ArrivedReply> replies;
    QStringList refusals;
    QStringList endings; // "closed", or the reason and the system's text: "refused: Connection refused"
    int ended = 0;
    int connected = 0;
};
