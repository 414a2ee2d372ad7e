// SPDX-License-Identifier: GPL-3.0-or-later
// Command-line parsing for the module simulator.
#include "sim_options.h"

#include "codec/frame_display.h"
#include "codec/frame_layout.h"
#include "response_builder.h"

#include <QCommandLineParser>

#include <climits>
#include <limits>

namespace {

// Large enough for any test, small enough that a typo cannot exhaust memory.
constexpr int kMaxRandomBytes = 16 * 1024 * 1024;
constexpr int kMaxDelayMs = 3600 * 1000;
constexpr int kMaxPieces = 65536;
constexpr int kMaxPort = std::numeric_limits<quint16>::max();

struct IntOption {
    QCommandLineOption option;
    int minimum;
    int maximum;
    int* target;
};

} // namespace

std::optional<SimOptions> parseSimOptions(const QStringList& arguments, QString* error)
{
    SimOptions options;
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QString("Plays the controller's Ethernet module on a local address: answers every "
                "TCP request and UDP datagram with a response frame that echoes the "
                "request's company ID, invoke ID, command, data type and data, with "
                "source byte %1, state 0000 and Code/No 0000. On TCP, a request whose "
                "header looks right is as long as its length field says, however its "
                "bytes are split; bytes that cannot start a header are answered at once "
                "as one request. Fewer bytes than a header that could still start one are "
                "answered as they are when nothing more arrives for a second; missing "
                "fields are zero. Once listening, it prints \"module-sim: listening on "
                "<address> tcp <port> udp <port>\" with the ports it really bound; when "
                "it cannot bind, it says why on stderr and exits with status 1.")
            .arg(HexByte(sim::kSimSource)));
    parser.addHelpOption();

    const QCommandLineOption hostOption("host", "Address to listen on (default 127.0.0.1).", "address",
                                        "127.0.0.1");
    const QCommandLineOption verboseOption("v", "Print every request and reply in hex.");
    const QCommandLineOption unsolicitedOption(
        "unsolicited", "Send a well-formed response frame on every new TCP connection.");
    parser.addOptions({hostOption, verboseOption, unsolicitedOption});

    int tcpPort = frame::kTcpPort;
    int udpPort = frame::kUdpPort;
    const IntOption intOptions[] = {
        {{"tcp-port", QString("TCP port (default %1; 0 picks a free one).").arg(frame::kTcpPort), "port"},
         0,
         kMaxPort,
         &tcpPort},
        {{"udp-port", QString("UDP port (default %1; 0 picks a free one).").arg(frame::kUdpPort), "port"},
         0,
         kMaxPort,
         &udpPort},
        {{"delay", "Wait MS milliseconds before each reply.", "ms"}, 0, kMaxDelayMs, &options.delayMs},
        {{"pieces", "Send each reply in K pieces (UDP: K datagrams), --piece-gap apart.", "k"},
         1,
         kMaxPieces,
         &options.pieces},
        {{"piece-gap",
          QString("Milliseconds between the pieces of a reply (default %1).").arg(SimOptions{}.pieceGapMs),
          "ms"},
         0,
         kMaxDelayMs,
         &options.pieceGapMs},
        {{"cut", "Send only the first N bytes of each reply.", "n"}, 0, kMaxRandomBytes, &options.cut},
        {{"extra", "Append N extra bytes (E0 E1 .. EF repeating) to each reply.", "n"},
         0,
         kMaxRandomBytes,
         &options.extra},
        {{"drop-every",
          "Do not send every K-th reply (counted per TCP connection; "
          "over all datagrams for UDP).",
          "k"},
         1,
         INT_MAX,
         &options.dropEvery},
        {{"close-after", "Close the TCP connection gracefully after K replies have been sent.", "k"},
         1,
         INT_MAX,
         &options.closeAfter},
        {{"reset-after", "Reset the TCP connection (RST) after K replies have been sent.", "k"},
         1,
         INT_MAX,
         &options.resetAfter},
        {{"reply-size",
          QString("Make each reply exactly N bytes: request data cut or padded with zeros, "
                  "length field to match (at most %1).")
              .arg(sim::kMaxResponseSize),
          "n"},
         0,
         sim::kMaxResponseSize,
         &options.replySize},
        {{"random-bytes", "Reply with N random bytes instead of a frame.", "n"},
         0,
         kMaxRandomBytes,
         &options.randomBytes},
    };
    for (const IntOption& entry : intOptions)
        parser.addOption(entry.option);

    parser.process(arguments);

    if (!options.host.setAddress(parser.value(hostOption))) {
        *error = QString("not an IP address: %1").arg(parser.value(hostOption));
        return std::nullopt;
    }
    for (const IntOption& entry : intOptions) {
        if (!parser.isSet(entry.option))
            continue;
        const QString name = entry.option.names().constFirst();
        bool ok = false;
        const int value = parser.value(entry.option).toInt(&ok);
        if (!ok || value < entry.minimum || value > entry.maximum) {
            *error = QString("--%1 wants a whole number from %2 to %3, got '%4'")
                         .arg(name)
                         .arg(entry.minimum)
                         .arg(entry.maximum)
                         .arg(parser.value(entry.option));
            return std::nullopt;
        }
        *entry.target = value;
    }
    if (options.closeAfter > 0 && options.resetAfter > 0) {
        *error = "--close-after and --reset-after cannot be combined";
        return std::nullopt;
    }
    options.tcpPort = static_cast<quint16>(tcpPort);
    options.udpPort = static_cast<quint16>(udpPort);
    options.verbose = parser.isSet(verboseOption);
    options.unsolicited = parser.isSet(unsolicitedOption);
    return options;
}
