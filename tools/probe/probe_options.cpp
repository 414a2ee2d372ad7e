// SPDX-License-Identifier: GPL-3.0-or-later
// Command-line parsing for the probe: ranges, request texts, file names.
#include "probe_options.h"

#include "codec/frame_layout.h"
#include "codec/request_defaults.h"
#include "codec/request_file.h"
#include "report/svg_page.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QRegularExpression>

#include <cmath>
#include <functional>
#include <optional>

namespace {

constexpr qint64 kMaxCount = 1'000'000'000'000;
constexpr int kMaxMs = 3'600'000; // an hour, for intervals and timeouts
constexpr qint64 kMaxDeadlineS = 366 * 24 * 3600;
constexpr qint64 kMaxConnectTimeoutS = 3600;
constexpr int kMaxConnections = 256;
// A millisecond: a module slower than that is waited for asleep.
constexpr int kMaxBusyPollUs = 1000;
constexpr int kMinPlotWidth = 400;
constexpr int kMinPlotHeight = 300;
constexpr int kMaxPlotSide = 8000;
// The window's boxes for these fields take at most four characters.
constexpr int kPairFieldChars = 4;

QString quoted(const QString& text)
{
    return u'"' + text + u'"';
}

// How an option is named in a message: every spelling the user may have used.
QString optionName(const QCommandLineOption& option)
{
    QStringList names;
    for (const QString& name : option.names())
        names << (name.size() == 1 ? u'-' + name : QStringLiteral("--") + name);
    return names.join(u'/');
}

std::optional<qint64> wholeNumber(const QCommandLineOption& option, const QString& text, qint64 minimum,
                                  qint64 maximum, QString* error)
{
    bool ok = false;
    const qint64 value = text.trimmed().toLongLong(&ok);
    if (!ok || value < minimum || value > maximum) {
        *error =
            QStringLiteral("%1 wants a whole number from %2 to %3, got %4")
                .arg(optionName(option), QString::number(minimum), QString::number(maximum), quoted(text));
        return std::nullopt;
    }
    return value;
}

// Seconds above zero, fractions allowed, as whole milliseconds (at least 1).
std::optional<qint64> secondsAsMs(const QCommandLineOption& option, const QString& text, double maximum,
                                  QString* error)
{
    bool ok = false;
    const double value = text.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(value) || value <= 0 || value > maximum) {
        *error = QStringLiteral("%1 wants a number of seconds above 0 and at most %2, got %3")
                     .arg(optionName(option), QString::number(maximum, 'f', 0), quoted(text));
        return std::nullopt;
    }
    return std::max<qint64>(1, std::llround(value * 1000));
}

// One request text: the window's own check, run on that text alone among
// the defaults so that the message belongs to this option, plus the length
// limit of the window's box (a box cannot hold more, so such a text could
// never be sent from the window either).
std::optional<QString> checkRequestText(const QCommandLineOption& option, const RequestTexts& texts,
                                        QString RequestTexts::*field, int boxChars, const char* label)
{
    const QString& text = texts.*field;
    const QString name = optionName(option);
    if (boxChars > 0 && text.size() > boxChars) {
        return QStringLiteral("%1: %2: %3 has more than %4 characters.")
            .arg(name, QLatin1String(label), quoted(text), QString::number(boxChars));
    }
    RequestTexts alone = defaultRequestTexts();
    alone.*field = text;
    if (auto message = checkRequestTexts(alone))
        return QStringLiteral("%1: %2").arg(name, *message);
    return std::nullopt;
}

// --request FILE: the file's request texts and protocol, its port while the
// protocol is the file's, and its host for want of a HOST argument. Applied
// before the options beside it, so that each of those overrides its field.
std::optional<QString> applyRequestFile(const QString& path, bool udpGiven, ProbeOptions& options)
{
    const RequestFileRead read = loadRequestFile(path);
    if (!read.file)
        return QStringLiteral("--request %1: %2").arg(path, read.error);
    const RequestFile& file = *read.file;
    // The probe numbers its requests unless --invoke-id fixes one ID, which
    // then overrides the file's, so the file's invoke ID is not taken.
    const QString invokeId = options.texts.invokeId;
    options.texts = file.texts;
    options.texts.invokeId = invokeId;
    options.udp = file.protocol == RequestProtocol::Udp;
    // A port belongs to its protocol: with --udp beside a TCP file, the
    // file's TCP port would reach no UDP listener.
    const bool protocolKept = !file.protocol || options.udp || !udpGiven;
    if (file.port && protocolKept)
        options.port = *file.port;
    if (file.host)
        options.host = *file.host;
    return std::nullopt;
}

} // namespace

quint16 ProbeOptions::effectivePort() const
{
    if (port != 0)
        return port;
    return udp ? frame::kUdpPort : frame::kTcpPort;
}

QString plotFormat(const QString& path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == QLatin1String("png") || (suffix == QLatin1String("svg") && svgPagesBuilt()))
        return suffix;
    return {};
}

ProbeCommandLine parseProbeCommandLine(const QStringList& arguments)
{
    ProbeCommandLine result;
    ProbeOptions& options = result.options;
    options.texts = defaultRequestTexts();

    const QCommandLineOption help({"h", "help"}, "help");
    const QCommandLineOption version({"V", "version"}, "version");
    const QCommandLineOption count({"c", "count"}, "count", "n");
    const QCommandLineOption deadline({"w", "deadline"}, "deadline", "seconds");
    const QCommandLineOption interval({"i", "interval"}, "interval", "ms");
    const QCommandLineOption timeout({"W", "timeout"}, "timeout", "ms");
    const QCommandLineOption quiet({"q", "quiet"}, "quiet");
    const QCommandLineOption udp("udp", "udp");
    const QCommandLineOption port("port", "port", "port");
    const QCommandLineOption connections("connections", "connections", "k");
    const QCommandLineOption connectTimeout("connect-timeout", "connect-timeout", "seconds");
    const QCommandLineOption busyPoll("busy-poll", "busy-poll", "us");
    const QCommandLineOption csv("csv", "csv", "file");
    const QCommandLineOption json("json", "json");
    const QCommandLineOption plot("plot", "plot", "file");
    const QCommandLineOption plotSize("plot-size", "plot-size", "WxH");
    const QCommandLineOption request("request", "request", "file");

    struct TextOption {
        QCommandLineOption option;
        QString RequestTexts::*field;
        int boxChars; // 0: the box sets no limit
        const char* label;
    };
    const TextOption textOptions[] = {
        {QCommandLineOption("com-id", "", "text"), &RequestTexts::comId, 0, "Com ID"},
        {QCommandLineOption("source", "", "hex"), &RequestTexts::src, 0, "Source"},
        {QCommandLineOption("invoke-id", "", "hex"), &RequestTexts::invokeId, kPairFieldChars, "Invoke ID"},
        {QCommandLineOption("command", "", "hex"), &RequestTexts::cmnd, kPairFieldChars, "Command"},
        {QCommandLineOption("data-type", "", "hex"), &RequestTexts::dataType, kPairFieldChars, "Data Type"},
        {QCommandLineOption("var-no", "", "hex"), &RequestTexts::varNo, kPairFieldChars, "Var No"},
        {QCommandLineOption("data", "", "hex"), &RequestTexts::data, 0, "Data"},
    };

    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    parser.addOptions({help, version, count, deadline, interval, timeout, quiet, udp, port, connections,
                       connectTimeout, busyPoll, csv, json, plot, plotSize, request});
    for (const TextOption& entry : textOptions)
        parser.addOption(entry.option);
    parser.addPositionalArgument("HOST", "host");

    auto fail = [&result](const QString& message) {
        result.action = ProbeCommandLine::Action::Error;
        result.error = message;
        return result;
    };

    if (!parser.parse(arguments))
        return fail(parser.errorText());
    if (parser.isSet(help) || parser.isSet(version)) {
        result.action =
            parser.isSet(help) ? ProbeCommandLine::Action::Help : ProbeCommandLine::Action::Version;
        return result;
    }

    if (parser.isSet(request)) {
        if (auto message = applyRequestFile(parser.value(request), parser.isSet(udp), options))
            return fail(*message);
    }

    // Checked in this order, so the first one wrong is the one reported.
    struct NumberOption {
        const QCommandLineOption& option;
        qint64 minimum;
        qint64 maximum; // seconds options: seconds, above 0
        bool seconds; // fractions allowed, stored as milliseconds
        std::function<void(qint64)> store;
    };
    const NumberOption numberOptions[] = {
        {count, 1, kMaxCount, false, [&](qint64 v) { options.count = v; }},
        {interval, 0, kMaxMs, false, [&](qint64 v) { options.intervalMs = int(v); }},
        {timeout, 1, kMaxMs, false, [&](qint64 v) { options.timeoutMs = int(v); }},
        {port, 1, 65535, false, [&](qint64 v) { options.port = quint16(v); }},
        {connections, 1, kMaxConnections, false, [&](qint64 v) { options.connections = int(v); }},
        {busyPoll, 0, kMaxBusyPollUs, false, [&](qint64 v) { options.busyPollUs = int(v); }},
        {deadline, 0, kMaxDeadlineS, true, [&](qint64 v) { options.deadlineMs = v; }},
        {connectTimeout, 0, kMaxConnectTimeoutS, true, [&](qint64 v) { options.connectTimeoutMs = int(v); }},
    };
    for (const NumberOption& entry : numberOptions) {
        if (!parser.isSet(entry.option))
            continue;
        QString error;
        const QString text = parser.value(entry.option);
        const auto value = entry.seconds
            ? secondsAsMs(entry.option, text, double(entry.maximum), &error)
            : wholeNumber(entry.option, text, entry.minimum, entry.maximum, &error);
        if (!value)
            return fail(error);
        entry.store(*value);
    }

    for (const TextOption& entry : textOptions) {
        if (!parser.isSet(entry.option))
            continue;
        options.texts.*entry.field = parser.value(entry.option);
        if (auto message =
                checkRequestText(entry.option, options.texts, entry.field, entry.boxChars, entry.label))
            return fail(*message);
    }
    options.numberedInvokeIds = !parser.isSet(QStringLiteral("invoke-id"));
    // The window keeps the previous invoke ID for a text of any other length;
    // a probe has no previous one, and sending 0000 for "12" would be wrong.
    if (options.texts.invokeId.size() != kPairFieldChars) {
        return fail(QStringLiteral("--invoke-id: Invoke ID: %1 must be exactly four hexadecimal digits.")
                        .arg(quoted(options.texts.invokeId)));
    }

    if (parser.isSet(csv)) {
        options.csvPath = parser.value(csv);
        if (options.csvPath.isEmpty())
            return fail(QStringLiteral("--csv wants a file name, got \"\""));
    }
    if (parser.isSet(plot)) {
        options.plotPath = parser.value(plot);
        if (plotFormat(options.plotPath).isEmpty()) {
            return fail(QStringLiteral("--plot wants a file name ending in %1, got %2")
                            .arg(svgPagesBuilt() ? QStringLiteral(".png or .svg")
                                                 : QStringLiteral(".png (this build draws no SVG)"),
                                 quoted(options.plotPath)));
        }
    }
    if (parser.isSet(plotSize)) {
        static const QRegularExpression pattern(QStringLiteral("^(\\d{1,5})x(\\d{1,5})$"));
        const QString text = parser.value(plotSize);
        const QRegularExpressionMatch match = pattern.match(text);
        const int width = match.hasMatch() ? match.captured(1).toInt() : 0;
        const int height = match.hasMatch() ? match.captured(2).toInt() : 0;
        if (width < kMinPlotWidth || height < kMinPlotHeight || width > kMaxPlotSide
            || height > kMaxPlotSide) {
            return fail(
                QStringLiteral("--plot-size wants WIDTHxHEIGHT in pixels, from %1x%2 to %3x%3, got %4")
                    .arg(QString::number(kMinPlotWidth), QString::number(kMinPlotHeight),
                         QString::number(kMaxPlotSide), quoted(text)));
        }
        options.plotSize = QSize(width, height);
    }

    options.udp = options.udp || parser.isSet(udp);
    options.quiet = parser.isSet(quiet);
    options.json = parser.isSet(json);

    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty() && !parser.isSet(request))
        return fail(QStringLiteral("missing HOST"));
    if (positional.isEmpty() && options.host.isEmpty())
        return fail(QStringLiteral("missing HOST (the request file names none)"));
    if (positional.size() > 1)
        return fail(QStringLiteral("one HOST only; also got %1").arg(quoted(positional.at(1))));
    if (!positional.isEmpty())
        options.host = positional.constFirst();
    if (options.host.trimmed().isEmpty())
        return fail(QStringLiteral("HOST is empty"));

    result.action = ProbeCommandLine::Action::Run;
    return result;
}

QString probeHelpText()
{
    return QStringLiteral("Usage: vexa-probe [OPTION]... HOST\n"
                          "  or:  vexa-probe --request=FILE [OPTION]... [HOST]\n"
                          "Send request frames to the Ethernet module at HOST, time every reply and\n"
                          "check it, and print the replies as they come and a summary at the end.\n"
                          "\n"
                          "Run:\n"
                          "  -c, --count=N            send N requests in all, then stop\n"
                          "  -w, --deadline=SECONDS   stop sending after SECONDS (fractions allowed)\n"
                          "  -i, --interval=MS        wait MS after each reply or timeout before the next\n"
                          "                             request (default 1000; 0 sends back to back)\n"
                          "  -W, --timeout=MS         a request unanswered after MS is lost (default 1000)\n"
                          "      --connections=K      K sessions side by side, one request in flight each\n"
                          "                             (default 1, at most 256)\n"
                          "      --connect-timeout=SECONDS\n"
                          "                           give up opening a TCP connection after SECONDS\n"
                          "                             (default 5)\n"
                          "      --busy-poll=US       back to back on one connection, wait up to US\n"
                          "                             microseconds for a reply without sleeping, while\n"
                          "                             that gives shorter cycles (default 50; 0 never)\n"
                          "      --udp                UDP datagrams to port 2005 (default: TCP to 2004)\n"
                          "      --port=PORT          another port, for test rigs\n"
                          "Without -c or -w the run goes on until Ctrl+C.\n"
                          "\n"
                          "Request (hexadecimal pairs in frame order, as in the window's boxes):\n"
                          "      --request=FILE       a request file as the window saves it (.vexa): its\n"
                          "                             texts but the invoke ID, its protocol and port,\n"
                          "                             and its host when no HOST is given; each option\n"
                          "                             here, --udp or --port beside it overrides one\n"
                          "                             field\n"
                          "      --com-id=TEXT        company ID, up to 10 characters (default KORV-TAMBE)\n"
                          "      --source=HEX         source byte (default 33)\n"
                          "      --invoke-id=HEX      invoke ID, four digits, the same in every request\n"
                          "                             (default: each request's sequence number, so\n"
                          "                             late and stray replies are told apart)\n"
                          "      --command=HEX        command (default 5400)\n"
                          "      --data-type=HEX      data type (default 0100)\n"
                          "      --var-no=HEX         Var No (default 1000)\n"
                          "      --data=HEX           data, up to 247 bytes (default 0800255157302E302E30)\n"
                          "\n"
                          "Output:\n"
                          "  -q, --quiet              print the summary only\n"
                          "      --json               print the summary as one JSON object instead\n"
                          "      --csv=FILE           write one row per request to FILE\n"
                          "      --plot=FILE          draw round trip against time and its distribution\n"
                          "                             into FILE (.png or .svg)\n"
                          "      --plot-size=WxH      size of the plot in pixels (default 1200x800)\n"
                          "  -h, --help               show this help and exit\n"
                          "  -V, --version            show the version and exit\n"
                          "\n"
                          "Exit status:\n"
                          "  0  every request answered and every reply passed the checks\n"
                          "  1  a request was lost, a reply failed a check or answered no request, the\n"
                          "     connection ended, or the CSV or plot file could not be written\n"
                          "  2  bad usage or a request text that cannot be sent (nothing was sent)\n"
                          "  3  the module could not be reached\n"
                          "\n"
                          "See vexa-probe(1) for the checks, the summary and the file formats.\n");
}
