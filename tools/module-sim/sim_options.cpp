// SPDX-License-Identifier: GPL-3.0-or-later
// Command-line parsing for the module simulator.
#include "sim_options.h"

#include "codec/frame_display.h"
#include "codec/frame_layout.h"
#include "response_builder.h"
#include "sim_network.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
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

std::optional<qint64> wholeNumber(const QString& text, qint64 minimum, qint64 maximum)
{
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    if (!ok || value < minimum || value > maximum)
        return std::nullopt;
    return value;
}

// Four hexadecimal digits as the two bytes they stand for, in frame order.
std::optional<QByteArray> fieldPair(const QString& text)
{
    static const QRegularExpression fourDigits(QStringLiteral("^[0-9A-Fa-f]{4}$"));
    if (!fourDigits.match(text).hasMatch())
        return std::nullopt;
    return QByteArray::fromHex(text.toLatin1());
}

// --ignore: request numbers, each occurrence a comma list.
bool parseIgnored(const QStringList& values, SimOptions& options, QString* error)
{
    for (const QString& value : values) {
        for (const QString& number : value.split(u',')) {
            const std::optional<qint64> request = wholeNumber(number, 1, INT_MAX);
            if (!request) {
                *error = QString("--ignore wants request numbers from 1 to %1, separated by commas, got '%2'")
                             .arg(INT_MAX)
                             .arg(value);
                return false;
            }
            options.ignored.insert(*request);
        }
    }
    return true;
}

// --late: one N:MS per occurrence.
bool parseLate(const QStringList& values, SimOptions& options, QString* error)
{
    for (const QString& value : values) {
        const QStringList parts = value.split(u':');
        const std::optional<qint64> request =
            parts.size() == 2 ? wholeNumber(parts[0], 1, INT_MAX) : std::nullopt;
        const std::optional<qint64> ms =
            parts.size() == 2 ? wholeNumber(parts[1], 0, kMaxDelayMs) : std::nullopt;
        if (!request || !ms) {
            *error =
                QString("--late wants N:MS, a request number from 1 to %1 and milliseconds from 0 to %2, "
                        "got '%3'")
                    .arg(INT_MAX)
                    .arg(kMaxDelayMs)
                    .arg(value);
            return false;
        }
        if (options.lateMs.contains(*request)) {
            *error = QString("--late names request %1 twice").arg(*request);
            return false;
        }
        if (options.ignored.contains(*request)) {
            *error = QString("request %1 cannot be both ignored (--ignore) and answered late (--late)")
                         .arg(*request);
            return false;
        }
        if (options.dropEvery > 0 && *request % options.dropEvery == 0) {
            *error = QString("request %1 cannot be both dropped (--drop-every %2) and answered late (--late)")
                         .arg(*request)
                         .arg(options.dropEvery);
            return false;
        }
        options.lateMs.insert(*request, static_cast<int>(*ms));
    }
    return true;
}

} // namespace

std::optional<SimOptions> parseSimOptions(const QStringList& arguments, QString* error)
{
    SimOptions options;
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QString("Plays the controller's Ethernet module on a local address: answers every TCP "
                "request and UDP datagram with a response frame that echoes the request's "
                "company ID, invoke ID, command, data type and data, with source byte %1, state "
                "0000 and Code/No 0000 (the switches below change any of them). Requests are "
                "numbered from 1 per TCP connection and over all UDP datagrams. On TCP, a "
                "request whose header looks right is as long as its length field says, however "
                "its bytes are split; bytes that cannot start a header are answered at once as "
                "one request. Fewer bytes than a header that could still start one are answered "
                "as they are when nothing more arrives for a second; missing fields are zero. "
                "Once listening, it prints \"module-sim: listening on <address> tcp <port> udp "
                "<port>\" with the ports it really bound; when it cannot bind, it says why on "
                "stderr and exits with status 1; a bad or contradictory switch is refused with "
                "status 2.")
            .arg(HexByte(sim::kSimSource)));
    parser.addHelpOption();

    // Not addVersionOption(): that takes -v, which is --verbose here.
    const QCommandLineOption versionOption(
        "version", "Print \"module-sim <version>\", then the network layer and what it can do, and exit.");
    const QCommandLineOption hostOption("host", "Address to listen on (default 127.0.0.1).", "address",
                                        "127.0.0.1");
    const QCommandLineOption verboseOption("v", "Print every request and reply in hex.");
    const QCommandLineOption unsolicitedOption(
        "unsolicited",
        "Send a well-formed response frame with invoke ID 0000 on every new TCP connection; "
        "the switches that change replies leave it alone.");
    const QCommandLineOption ignoreOption(
        "ignore", "Never answer the N-th request(s); repeatable or a comma list, e.g. 2,5.", "n[,n...]");
    const QCommandLineOption lateOption("late",
                                        "Answer the N-th request MS milliseconds later than it would be "
                                        "otherwise; the requests after it are answered as usual "
                                        "meanwhile, so its reply comes after theirs. Repeatable.",
                                        "n:ms");
    const QCommandLineOption wrongInvokeIdOption(
        "wrong-invoke-id", "Reply with the bitwise complement of the request's invoke ID.");
    const QCommandLineOption invokeIdOption(
        "invoke-id", "Reply with this invoke ID, four hex digits in frame order, instead of the request's.",
        "hhhh");
    const QCommandLineOption badChecksumOption("bad-checksum",
                                               "Make every reply's header checksum one more than it should "
                                               "be (modulo 256); nothing else changes.");
    const QCommandLineOption stateOption(
        "state", "State field of every reply, four hex digits in frame order.", "hhhh");
    const QCommandLineOption codeOption(
        "code", "Code/No field of every reply, four hex digits in frame order.", "hhhh");
    const QCommandLineOption lossOption(
        "loss", "Drop each reply at random with probability P percent (0 to 100, fractions allowed).", "p");
    const QCommandLineOption seedOption(
        "seed", "Seed for --jitter and --loss, to repeat a run (default: from the clock).", "s");
    parser.addOptions({versionOption, hostOption, verboseOption, unsolicitedOption});

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
        {{"jitter",
          "Wait a random extra 0 to J milliseconds before each reply, on top of --delay; "
          "replies to requests sent together may then overtake one another.",
          "j"},
         0,
         kMaxDelayMs,
         &options.jitterMs},
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
    parser.addOptions({ignoreOption, lateOption, wrongInvokeIdOption, invokeIdOption, badChecksumOption,
                       stateOption, codeOption, lossOption, seedOption});

    // A parse error is bad usage like a bad value (status 2), where
    // process() would exit with 1, the status for a port that cannot be
    // bound. Once the arguments parse, process() only handles --help.
    if (!parser.parse(arguments)) {
        *error = parser.errorText();
        return std::nullopt;
    }
    parser.process(arguments);
    if (parser.isSet(versionOption)) {
        // The second line tells scripts and tests what this build's sockets
        // can do.
        std::printf("module-sim %s\n%s\n", qPrintable(QCoreApplication::applicationVersion()),
                    qPrintable(simNetworkDescription(simNetworkName(), simNetworkAbilities())));
        std::exit(0);
    }

    if (!options.host.setAddress(parser.value(hostOption))) {
        *error = QString("not an IP address: %1").arg(parser.value(hostOption));
        return std::nullopt;
    }
    for (const IntOption& entry : intOptions) {
        if (!parser.isSet(entry.option))
            continue;
        const QString name = entry.option.names().constFirst();
        const std::optional<qint64> value =
            wholeNumber(parser.value(entry.option), entry.minimum, entry.maximum);
        if (!value) {
            *error = QString("--%1 wants a whole number from %2 to %3, got '%4'")
                         .arg(name)
                         .arg(entry.minimum)
                         .arg(entry.maximum)
                         .arg(parser.value(entry.option));
            return std::nullopt;
        }
        *entry.target = static_cast<int>(*value);
    }
    if (options.closeAfter > 0 && options.resetAfter > 0) {
        *error = "--close-after and --reset-after cannot be combined";
        return std::nullopt;
    }
    // Random bytes are no frame, so there is no frame to size.
    if (options.randomBytes >= 0 && options.replySize >= 0) {
        *error = "--random-bytes and --reply-size cannot be combined";
        return std::nullopt;
    }
    if (!parseIgnored(parser.values(ignoreOption), options, error)
        || !parseLate(parser.values(lateOption), options, error))
        return std::nullopt;

    if (parser.isSet(wrongInvokeIdOption) && parser.isSet(invokeIdOption)) {
        *error = "--wrong-invoke-id and --invoke-id cannot be combined";
        return std::nullopt;
    }
    if (parser.isSet(wrongInvokeIdOption))
        options.invokeId = SimOptions::InvokeId::Complemented;
    struct PairOption {
        const QCommandLineOption& option;
        QByteArray* target;
    };
    for (const PairOption& entry :
         {PairOption{invokeIdOption, &options.fixedInvokeId}, PairOption{stateOption, &options.state},
          PairOption{codeOption, &options.code}}) {
        if (!parser.isSet(entry.option))
            continue;
        const std::optional<QByteArray> pair = fieldPair(parser.value(entry.option));
        if (!pair) {
            *error = QString("--%1 wants four hexadecimal digits (two bytes in frame order), got '%2'")
                         .arg(entry.option.names().constFirst(), parser.value(entry.option));
            return std::nullopt;
        }
        *entry.target = *pair;
    }
    if (parser.isSet(invokeIdOption))
        options.invokeId = SimOptions::InvokeId::Fixed;
    options.badChecksum = parser.isSet(badChecksumOption);
    if (options.randomBytes >= 0) {
        for (const QCommandLineOption* frameOption :
             {&wrongInvokeIdOption, &invokeIdOption, &badChecksumOption, &stateOption, &codeOption}) {
            if (parser.isSet(*frameOption)) {
                *error = QString("--random-bytes sends no frame for --%1 to change")
                             .arg(frameOption->names().constFirst());
                return std::nullopt;
            }
        }
    }

    if (parser.isSet(lossOption)) {
        bool ok = false;
        options.lossPercent = parser.value(lossOption).toDouble(&ok);
        // Written so that NaN fails too.
        if (!ok || !(options.lossPercent >= 0 && options.lossPercent <= 100)) {
            *error =
                QString("--loss wants a percentage from 0 to 100, got '%1'").arg(parser.value(lossOption));
            return std::nullopt;
        }
    }
    if (parser.isSet(seedOption)) {
        bool ok = false;
        options.seed = parser.value(seedOption).toULongLong(&ok);
        if (!ok) {
            *error = QString("--seed wants a whole number from 0 to %1, got '%2'")
                         .arg(std::numeric_limits<quint64>::max())
                         .arg(parser.value(seedOption));
            return std::nullopt;
        }
    } else {
        options.seed = static_cast<quint64>(std::chrono::system_clock::now().time_since_epoch().count());
    }
    options.tcpPort = static_cast<quint16>(tcpPort);
    options.udpPort = static_cast<quint16>(udpPort);
    options.verbose = parser.isSet(verboseOption);
    options.unsolicited = parser.isSet(unsolicitedOption);
    return options;
}
