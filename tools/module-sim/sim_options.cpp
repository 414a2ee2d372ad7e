// Command-line parsing for the module simulator.
#include "sim_options.h"

#include "codec/frame_layout.h"
#include "response_builder.h"

#include <QCommandLineParser>

#include <climits>

namespace {

// Large enough for any test, small enough that a typo cannot exhaust memory.
constexpr int kMaxRandomBytes = 16 * 1024 * 1024;
constexpr int kMaxDelayMs = 3600 * 1000;
constexpr int kMaxPieces = 65536;

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
        "Plays the controller's Ethernet module on a local address: answers every "
        "TCP request and UDP datagram with a response frame that echoes the "
        "request's company ID, invoke ID, command, data type and data, with "
        "source byte 0xB0, state 0000 and Code/No 0000. TCP requests are split "
        "by the header's length field when the bytes look like a header; "
        "otherwise everything read is one request. Requests shorter than a "
        "header are answered with the missing fields as zero.");
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
        {{"tcp-port", "TCP port (default 2004; 0 picks a free one).", "port"}, 0, 65535, &tcpPort},
        {{"udp-port", "UDP port (default 2005; 0 picks a free one).", "port"}, 0, 65535, &udpPort},
        {{"delay", "Wait MS milliseconds before each reply.", "ms"}, 0, kMaxDelayMs, &options.delayMs},
        {{"pieces", "Send each reply in K pieces (UDP: K datagrams), --piece-gap apart.", "k"},
         1,
         kMaxPieces,
         &options.pieces},
        {{"piece-gap", "Milliseconds between the pieces of a reply (default 20).", "ms"},
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
          "Make each reply exactly N bytes: request data cut or padded with zeros, "
          "length field to match (at most 65555).",
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
