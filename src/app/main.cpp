// SPDX-License-Identifier: GPL-3.0-or-later
// Starts the tool: the command line, one window, the event loop.
#include "ui/application_identity.h"
#include "ui/main_window.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <QTimer>

#include <cstdio>
#include <optional>

namespace {

QIcon windowIcon()
{
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/icons/%1x%1/vexa-test.png").arg(size), QSize(size, size));
    // The installed theme icon wins where the desktop provides one.
    return QIcon::fromTheme(QStringLiteral("vexa-test"), icon);
}

struct CommandLine {
    enum class Action { Run, Help, Version, Error };
    Action action = Action::Error;
    QString file;
    std::optional<int> replyTimeoutMs;
    QString error;
};

// Read before the application exists, so that --help, --version and a bad
// option answer on a terminal without a display.
CommandLine parseCommandLine(const QStringList& arguments)
{
    CommandLine line;
    const QCommandLineOption help({"h", "help"}, "help");
    const QCommandLineOption version({"V", "version"}, "version");
    const QCommandLineOption replyTimeout("reply-timeout", "reply-timeout", "ms");
    QCommandLineParser parser;
    // Qt's own options are single-dash words (-platform, -style); the
    // application takes them out of the arguments later.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOptions({help, version, replyTimeout});
    for (const char* name :
         {"platform", "platformpluginpath", "platformtheme", "plugin", "qmljsdebugger", "qwindowgeometry",
          "qwindowicon", "qwindowtitle", "session", "display", "geometry", "style", "stylesheet"}) {
        QCommandLineOption qtOption(QString::fromLatin1(name), QString(), QStringLiteral("value"));
        qtOption.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(qtOption);
    }
    for (const char* name : {"reverse", "widgetcount", "nograb", "dograb", "sync"}) {
        QCommandLineOption qtOption(QString::fromLatin1(name), QString());
        qtOption.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(qtOption);
    }
    parser.addPositionalArgument("FILE", "file");

    if (!parser.parse(arguments)) {
        line.error = parser.errorText();
        return line;
    }
    if (parser.isSet(help)) {
        line.action = CommandLine::Action::Help;
        return line;
    }
    if (parser.isSet(version)) {
        line.action = CommandLine::Action::Version;
        return line;
    }
    if (parser.isSet(replyTimeout)) {
        const QString text = parser.value(replyTimeout);
        bool ok = false;
        const qint64 ms = text.trimmed().toLongLong(&ok);
        if (!ok || ms < MainWindow::kMinReplyTimeoutMs || ms > MainWindow::kMaxReplyTimeoutMs) {
            line.error = QStringLiteral("--reply-timeout wants a whole number from %1 to %2, got \"%3\"")
                             .arg(QString::number(MainWindow::kMinReplyTimeoutMs),
                                  QString::number(MainWindow::kMaxReplyTimeoutMs), text);
            return line;
        }
        line.replyTimeoutMs = static_cast<int>(ms);
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.size() > 1) {
        line.error = QStringLiteral("one FILE only; also got \"%1\"").arg(positional.at(1));
        return line;
    }
    line.file = positional.value(0);
    line.action = CommandLine::Action::Run;
    return line;
}

QString helpText()
{
    return QStringLiteral("Usage: vexa-test [OPTION]... [FILE]\n"
                          "Open the Vexa Test window: type a request frame for the controller's Ethernet\n"
                          "module, send it over TCP or UDP, and see every field of each reply, timed.\n"
                          "FILE is a request file (.vexa) to open at start; without it the boxes show\n"
                          "what they held when the tool last ran.\n"
                          "\n"
                          "      --reply-timeout=MS   give a request up when its reply has not come within\n"
                          "                             MS milliseconds (1 to 3600000, default 1000);\n"
                          "                             remembered for the next start\n"
                          "  -h, --help               show this help and exit\n"
                          "  -V, --version            show the version and exit\n"
                          "\n"
                          "Qt's own options, such as -platform and -style, are taken as well.\n"
                          "Exit status: 0, or 2 for bad usage.\n"
                          "\n"
                          "See vexa-test(1).\n");
}

void printOut(const QString& text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
}

} // namespace

int main(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const CommandLine line = parseCommandLine(arguments);
    switch (line.action) {
    case CommandLine::Action::Help:
        printOut(helpText());
        return 0;
    case CommandLine::Action::Version:
        printOut(QStringLiteral("vexa-test %1\n").arg(QLatin1String(VEXA_VERSION)));
        return 0;
    case CommandLine::Action::Error:
        std::fprintf(stderr, "vexa-test: %s\n", qPrintable(line.error));
        std::fputs("Try 'vexa-test --help' for more information.\n", stderr);
        return 2;
    case CommandLine::Action::Run:
        break;
    }

    QApplication app(argc, argv);
    applyApplicationIdentity();
    QApplication::setWindowIcon(windowIcon());
    MainWindow window;
    window.show();
    // Once the window is up, so that a message about the file has it behind;
    // the command line's timeout wins over the file's.
    QTimer::singleShot(0, &window, [&window, &line] {
        if (!line.file.isEmpty())
            window.openFile(line.file);
        if (line.replyTimeoutMs)
            window.setReplyTimeoutMs(*line.replyTimeoutMs);
    });
    return QApplication::exec();
}
