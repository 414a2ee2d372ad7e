// SPDX-License-Identifier: GPL-3.0-or-later
// Command-line settings of the module simulator: where it listens and which
// faults it injects into its replies.
#pragma once

#include <QHostAddress>
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
};

// Parses the arguments (including argv[0]). Prints help or version and exits
// for --help/--version; on a bad argument returns nothing and sets *error.
std::optional<SimOptions> parseSimOptions(const QStringList& arguments, QString* error);
