// SPDX-License-Identifier: GPL-3.0-or-later
// Turns a request into the bytes the simulator sends back, with the fault
// switches applied, and decides which replies are dropped.
#pragma once

#include "sim_options.h"

#include <QByteArray>
#include <QList>
#include <optional>

class ReplyShaper {
public:
    explicit ReplyShaper(const SimOptions& options);

    // The pieces to send for this request, in order, or nothing when the
    // reply is dropped. An empty list is a reply cut to nothing: it still
    // counts as sent. Every call counts one reply for --drop-every.
    std::optional<QList<QByteArray>> replyPieces(const QByteArray& request);

    // The reply bytes for a request: frame (or random bytes), sized, cut and
    // extended as the options say.
    static QByteArray shape(const QByteArray& request, const SimOptions& options);
    // Splits bytes into `count` nearly equal, non-empty pieces (fewer if there
    // are fewer bytes than pieces; none for empty input).
    static QList<QByteArray> split(const QByteArray& bytes, int count);
    // The deterministic filler --extra appends.
    static QByteArray extraBytes(int count);

private:
    SimOptions m_options;
    qint64 m_replies = 0;
};
