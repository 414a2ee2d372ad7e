// SPDX-License-Identifier: GPL-3.0-or-later
// Command-line settings of the module simulator: where it listens and which
// faults it injects into its replies.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QMap>
#include <QSet>
#include <QStringList>
#include <optional>

struct SimOptions {
    QHostAddress host{QHostAddress::LocalHost};
    quint16 tcpPort = 0;
    quint16 udpPort = 0;
    bool verbose = false;

    // Fault switches; zero (or -1 where zero is meaningful) means "off".
    int delayMs = 0;
    int pieces = 1;
    int pieceGapMs = 20;
    int cut = -1;
    int extra = 0;
    int dropEvery = 0;
    int closeAfter = 0;
    int resetAfter = 0;
    bool unsolicited = false;
    int replySize = -1;
    int randomBytes = -1;

    // Requests, numbered from 1 as --drop-every counts them, that get no
    // reply, and those whose reply waits so many milliseconds more.
    QSet<qint64> ignored;
    QMap<qint64, int> lateMs;

    // What a reply carries as invoke ID: the request's, its bitwise
    // complement, or fixedInvokeId.
    enum class InvokeId { Copied, Complemented, Fixed };
    InvokeId invokeId = InvokeId::Copied;
    QByteArray fixedInvokeId;
    // State and Code/No, two bytes each in frame order.
    QByteArray state = QByteArray(2, '\0');
    QByteArray code = QByteArray(2, '\0');
    bool badChecksum = false;

    // Random faults, drawn from generators seeded with `seed` so that a run
    // can be repeated.
    int jitterMs = 0;
    double lossPercent = 0;
    quint64 seed = 0;
};

// Parses the arguments (including argv[0]). Prints help or version and exits
// for --help/--version; on a bad argument returns nothing and sets *error.
std::optional<SimOptions> parseSimOptions(const QStringList& arguments, QString* error);
