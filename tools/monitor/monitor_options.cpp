// SPDX-License-Identifier: GPL-3.0-or-later
// Command-line parsing for the monitor.
#include "monitor_options.h"

#include <QCommandLineParser>
#include <QHostAddress>

#include <optional>

namespace {

struct Parser {
    QCommandLineParser parser;
    QCommandLineOption listen{QStringLiteral("listen"),
                              QStringLiteral("Serve the metrics at http://HOST:PORT/metrics; HOST is an IPv4 "
                                             "address, 0.0.0.0 for every interface (default %1:%2).")
                                  .arg(QLatin1String(kDefaultListenHost))
                                  .arg(kDefaultListenPort),
                              QStringLiteral("HOST:PORT")};
    QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help.")};
    QCommandLineOption version{QStringLiteral("version"), QStringLiteral("Show the version.")};

    Parser()
    {
        parser.setApplicationDescription(
            QStringLiteral("Watches the Ethernet modules named in CONFIG around the clock: a request to each "
                           "every interval, round trips and losses served to Prometheus. SIGHUP reads CONFIG "
                           "again."));
        parser.addOptions({listen, help, version});
        parser.addPositionalArgument(QStringLiteral("CONFIG"), QStringLiteral("The targets file."));
    }
};

std::optional<ListenAddress> parseListen(const QString& text)
{
    const qsizetype colon = text.lastIndexOf(u':');
    if (colon <= 0)
        return std::nullopt;
    ListenAddress address;
    address.host = text.left(colon);
    QHostAddress host;
    if (!host.setAddress(address.host) || host.protocol() != QAbstractSocket::IPv4Protocol
        || address.host.count(u'.') != 3)
        return std::nullopt;
    bool ok = false;
    const uint port = text.mid(colon + 1).toUInt(&ok);
    if (!ok || port > 65535)
        return std::nullopt;
    address.port = static_cast<quint16>(port);
    return address;
}

} // namespace

MonitorCommandLine parseMonitorCommandLine(const QStringList& arguments)
{
    Parser p;
    MonitorCommandLine result;
    auto error = [&result](const QString& message) {
        result.action = MonitorCommandLine::Action::Error;
        result.error = message;
        return result;
    };
    if (!p.parser.parse(arguments))
        return error(p.parser.errorText());
    if (p.parser.isSet(p.help)) {
        result.action = MonitorCommandLine::Action::Help;
        return result;
    }
    if (p.parser.isSet(p.version)) {
        result.action = MonitorCommandLine::Action::Version;
        return result;
    }
    if (p.parser.isSet(p.listen)) {
        const QString text = p.parser.value(p.listen);
        const std::optional<ListenAddress> listen = parseListen(text);
        if (!listen) {
            return error(
                QStringLiteral("--listen wants HOST:PORT, an IPv4 address and a port from 0 to 65535 "
                               "(e.g. 127.0.0.1:9720), got \"%1\"")
                    .arg(text));
        }
        result.listen = *listen;
    }
    const QStringList positional = p.parser.positionalArguments();
    if (positional.isEmpty())
        return error(QStringLiteral("no targets file given"));
    if (positional.size() > 1)
        return error(QStringLiteral("one targets file only, got %1").arg(positional.join(u' ')));
    result.configPath = positional.front();
    return result;
}

QString monitorHelpText()
{
    Parser p;
    // The parser's usage line names the program by the path it was started
    // with; the synopsis reads better with its name.
    QString text = p.parser.helpText();
    const qsizetype endOfUsage = text.indexOf(u'\n');
    return QStringLiteral("Usage: vexa-monitor [--listen HOST:PORT] CONFIG") + text.mid(endOfUsage);
}
