// SPDX-License-Identifier: GPL-3.0-or-later
// Turns a request into the bytes the simulator sends back, with the fault
// switches applied, and decides which requests go unanswered and when each
// reply goes.
#pragma once

#include "sim_options.h"

#include <QByteArray>
#include <QList>
#include <chrono>
#include <optional>
#include <random>

class ReplyShaper {
public:
    // `stream` tells apart the shapers of one run (the UDP side, each TCP
    // connection), so that they draw different random faults from one seed.
    explicit ReplyShaper(const SimOptions& options, quint64 stream = 0);

    struct Reply {
        // The pieces to send, in order. An empty list is a reply cut to
        // nothing: it still counts as sent.
        QList<QByteArray> pieces;
        // How long after the request arrived the first piece goes.
        std::chrono::microseconds delay{0};
    };

    // The reply to the next request, or nothing when it goes unanswered
    // (--ignore, --drop-every, --loss). Every call counts one request.
    std::optional<Reply> reply(const QByteArray& request);

    // The reply bytes for a request: frame (or random bytes), with its
    // fields set, sized, cut and extended as the options say.
    static QByteArray shape(const QByteArray& request, const SimOptions& options);
    // Splits bytes into `count` nearly equal, non-empty pieces (fewer if there
    // are fewer bytes than pieces; none for empty input).
    static QList<QByteArray> split(const QByteArray& bytes, int count);
    // The deterministic filler --extra appends.
    static QByteArray extraBytes(int count);

private:
    SimOptions m_options;
    qint64 m_requests = 0;
    std::mt19937_64 m_random;
};
