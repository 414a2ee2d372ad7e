// SPDX-License-Identifier: GPL-3.0-or-later
// The probe's command line: what each option sets, and the message for each
// value it refuses.
#include "probe_options.h"
#include "report/svg_page.h"

#include <QtTest>

namespace {

QStringList withProgram(const QStringList& arguments)
{
    return QStringList{QStringLiteral("vexa-probe")} + arguments;
}

// Everything the options say, in one line a row can spell out.
QString describe(const ProbeOptions& o)
{
    return QStringLiteral("%1 %2:%3 c=%4 w=%5 i=%6 W=%7 k=%8 ct=%9")
               .arg(o.host, o.udp ? QStringLiteral("udp") : QStringLiteral("tcp"),
                    QString::number(o.effectivePort()), QString::number(o.count),
                    QString::number(o.deadlineMs), QString::number(o.intervalMs),
                    QString::number(o.timeoutMs), QString::number(o.connections),
                    QString::number(o.connectTimeoutMs))
        + QStringLiteral(" bp=%1 q=%2 json=%3 csv=%4 plot=%5 %6x%7")
              .arg(QString::number(o.busyPollUs), QString::number(o.quiet), QString::number(o.json),
                   o.csvPath, o.plotPath, QString::number(o.plotSize.width()),
                   QString::number(o.plotSize.height()))
        + QStringLiteral(" [%1|%2|%3|%4|%5|%6|%7]")
              .arg(o.texts.comId, o.texts.src, o.texts.invokeId, o.texts.cmnd, o.texts.dataType,
                   o.texts.varNo, o.texts.data);
}

const QString kDefaults = QStringLiteral(
    " bp=50 q=0 json=0 csv= plot= 1200x800 [KORV-TAMBE|33|0000|5400|0100|1000|0800255157302E302E30]");

} // namespace

class TestProbeOptions : public QObject {
    Q_OBJECT
private slots:
    void accepted_data();
    void accepted();
    void refused_data();
    void refused();
    void helpAndVersion();
};

void TestProbeOptions::accepted_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("options");

    const QString run = QStringLiteral(" c=0 w=0 i=1000 W=1000 k=1 ct=5000");
    QTest::newRow("host alone: TCP 2004, ping's pace, no bound")
        << QStringList{"10.0.0.5"} << "10.0.0.5 tcp:2004" + run + kDefaults;
    QTest::newRow("--udp goes to 2005") << QStringList{"--udp", "h"} << "h udp:2005" + run + kDefaults;
    QTest::newRow("--port overrides either protocol")
        << QStringList{"--udp", "--port", "40000", "h"} << "h udp:40000" + run + kDefaults;
    QTest::newRow("short options with their values attached")
        << QStringList{"-c5", "-i0", "-W250", "h"} << "h tcp:2004 c=5 w=0 i=0 W=250 k=1 ct=5000" + kDefaults;
    QTest::newRow("long options with =")
        << QStringList{"--count=7", "--interval=20", "--timeout=3000", "--connections=4", "h"}
        << "h tcp:2004 c=7 w=0 i=20 W=3000 k=4 ct=5000" + kDefaults;
    QTest::newRow("seconds may have fractions")
        << QStringList{"-w", "1.5", "--connect-timeout", "0.25", "h"}
        << "h tcp:2004 c=0 w=1500 i=1000 W=1000 k=1 ct=250" + kDefaults;
    QTest::newRow("a millisecond is the least deadline")
        << QStringList{"-w", "0.0001", "h"} << "h tcp:2004 c=0 w=1 i=1000 W=1000 k=1 ct=5000" + kDefaults;
    // The suffix in capitals; SVG where the build draws it.
    const QString plot = svgPagesBuilt() ? QStringLiteral("run.SVG") : QStringLiteral("run.PNG");
    QTest::newRow("output options") << QStringList{"-q", "--json",      "--csv",   "run.csv", "--plot",
                                                   plot, "--plot-size", "640x480", "h"}
                                    << "h tcp:2004" + run + " bp=50 q=1 json=1 csv=run.csv plot=" + plot
            + " 640x480 [KORV-TAMBE|33|0000|5400|0100|1000|0800255157302E302E30]";
    QTest::newRow("busy polling off")
        << QStringList{"-i0", "--busy-poll", "0", "h"}
        << "h tcp:2004 c=0 w=0 i=0 W=1000 k=1 ct=5000" + QString(kDefaults).replace("bp=50", "bp=0");
    QTest::newRow("request texts as typed, lower case kept")
        << QStringList{"--com-id",    "ACME", "--source", "b",    "--invoke-id", "1a2B", "--command", "540",
                       "--data-type", "0200", "--var-no", "0001", "--data",      "a1b",  "h"}
        << "h tcp:2004" + run + " bp=50 q=0 json=0 csv= plot= 1200x800 [ACME|b|1a2B|540|0200|0001|a1b]";
    QTest::newRow("an empty company ID and empty data are sendable")
        << QStringList{"--com-id=", "--data=", "h"}
        << "h tcp:2004" + run + " bp=50 q=0 json=0 csv= plot= 1200x800 [|33|0000|5400|0100|1000|]";
    QTest::newRow(
        "--request: the file's texts but its invoke ID, its protocol, port and host; --command wins")
        << QStringList{"--request", QFINDTESTDATA("read-var.vexa"), "--command", "5801"}
        << "10.0.0.7 udp:40000" + run
            + " bp=50 q=0 json=0 csv= plot= 1200x800 [ACME|0b|0000|5801|0200|0001|0800]";
    QTest::newRow("494 data digits fill the frame")
        << QStringList{"--data", QString(494, u'F'), "h"}
        << "h tcp:2004" + run + " bp=50 q=0 json=0 csv= plot= 1200x800 [KORV-TAMBE|33|0000|5400|0100|1000|"
            + QString(494, u'F') + "]";
}

void TestProbeOptions::accepted()
{
    QFETCH(QStringList, arguments);
    const ProbeCommandLine line = parseProbeCommandLine(withProgram(arguments));
    QCOMPARE(line.error, QString());
    QCOMPARE(line.action, ProbeCommandLine::Action::Run);
    QTEST(describe(line.options), "options");
}

void TestProbeOptions::refused_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");

    QTest::newRow("no host") << QStringList{"-c", "3"} << "missing HOST";
    // The system's own words: Linux's "No such file or directory", Windows'
    // "Path not found."
    QFile missing(QStringLiteral("/nonexistent/read-var.vexa"));
    QVERIFY(!missing.open(QIODevice::ReadOnly));
    QString reason = missing.errorString();
    if (reason.endsWith(u'.'))
        reason.chop(1);
    QTest::newRow("a request file that is not there")
        << QStringList{"--request", "/nonexistent/read-var.vexa", "h"}
        << "--request /nonexistent/read-var.vexa: Cannot read the file: " + reason + u'.';
    QTest::newRow("two hosts") << QStringList{"a", "b"} << "one HOST only; also got \"b\"";
    QTest::newRow("unknown option") << QStringList{"--bogus", "h"} << "Unknown option 'bogus'.";
    QTest::newRow("count of zero") << QStringList{"-c", "0", "h"}
                                   << "-c/--count wants a whole number from 1 to 1000000000000, got \"0\"";
    QTest::newRow("count not a number")
        << QStringList{"-c", "ten", "h"}
        << "-c/--count wants a whole number from 1 to 1000000000000, got \"ten\"";
    QTest::newRow("negative interval")
        << QStringList{"-i", "-1", "h"} << "-i/--interval wants a whole number from 0 to 3600000, got \"-1\"";
    QTest::newRow("interval with a fraction")
        << QStringList{"-i", "0.5", "h"}
        << "-i/--interval wants a whole number from 0 to 3600000, got \"0.5\"";
    QTest::newRow("zero timeout") << QStringList{"-W", "0", "h"}
                                  << "-W/--timeout wants a whole number from 1 to 3600000, got \"0\"";
    QTest::newRow("port 0") << QStringList{"--port", "0", "h"}
                            << "--port wants a whole number from 1 to 65535, got \"0\"";
    QTest::newRow("port beyond 16 bits") << QStringList{"--port", "65536", "h"}
                                         << "--port wants a whole number from 1 to 65535, got \"65536\"";
    QTest::newRow("busy polling beyond a millisecond")
        << QStringList{"--busy-poll", "1001", "h"}
        << "--busy-poll wants a whole number from 0 to 1000, got \"1001\"";
    QTest::newRow("257 connections") << QStringList{"--connections", "257", "h"}
                                     << "--connections wants a whole number from 1 to 256, got \"257\"";
    QTest::newRow("zero deadline") << QStringList{
        "-w", "0", "h"} << "-w/--deadline wants a number of seconds above 0 and at most 31622400, got \"0\"";
    QTest::newRow("deadline not a number")
        << QStringList{"-w", "inf", "h"}
        << "-w/--deadline wants a number of seconds above 0 and at most 31622400, got \"inf\"";
    QTest::newRow("connect timeout beyond an hour")
        << QStringList{"--connect-timeout", "3601", "h"}
        << "--connect-timeout wants a number of seconds above 0 and at most 3600, got \"3601\"";
    QTest::newRow("plot of a format it cannot write")
        << QStringList{"--plot", "run.gif", "h"}
        << QStringLiteral("--plot wants a file name ending in %1, got \"run.gif\"")
               .arg(svgPagesBuilt() ? ".png or .svg" : ".png (this build draws no SVG)");
    QTest::newRow("plot size too small")
        << QStringList{"--plot-size", "200x100", "h"}
        << "--plot-size wants WIDTHxHEIGHT in pixels, from 400x300 to 8000x8000, got \"200x100\"";
    QTest::newRow("plot size without a height")
        << QStringList{"--plot-size", "800", "h"}
        << "--plot-size wants WIDTHxHEIGHT in pixels, from 400x300 to 8000x8000, got \"800\"";
    QTest::newRow("empty CSV name") << QStringList{"--csv=", "h"} << "--csv wants a file name, got \"\"";

    // The window's own messages, with the option in front.
    QTest::newRow("command not hexadecimal")
        << QStringList{"--command", "5X00", "h"} << "--command: Command: \"5X00\" is not hexadecimal.";
    QTest::newRow("data type too short")
        << QStringList{"--data-type", "01", "h"}
        << "--data-type: Data Type: \"01\" is too short; type four hexadecimal digits.";
    QTest::newRow("company ID of eleven characters")
        << QStringList{"--com-id", "KORV-TAMBEX", "h"}
        << "--com-id: Com ID: \"KORV-TAMBEX\" has more than 10 characters.";
    QTest::newRow("company ID character without a byte")
        << QStringList{"--com-id", QStringLiteral("KORV\u20AC"), "h"}
        << QStringLiteral(
               "--com-id: Com ID: \"KORV\u20AC\" holds the character \u20AC, which has no one-byte code.");
    QTest::newRow("empty source") << QStringList{
        "--source=", "h"} << "--source: Source: the text is empty; type one or two hexadecimal digits.";
    QTest::newRow("source of three digits")
        << QStringList{"--source", "123", "h"}
        << "--source: Source: \"123\" is longer than one byte; type one or two hexadecimal digits.";
    QTest::newRow("data one byte too long") << QStringList{"--data", QString(496, u'0'), "h"}
                                            << "--data: Data: \"" + QString(40, u'0')
            + QStringLiteral("\u2026\" has 496 characters; at most 494 (247 bytes) fit in one frame.");
    QTest::newRow("data with a bad pair")
        << QStringList{"--data", "08G0", "h"} << "--data: Data: \"08G0\" is not hexadecimal.";
    QTest::newRow("invoke ID not hexadecimal")
        << QStringList{"--invoke-id", "00X0", "h"} << "--invoke-id: Invoke ID: \"00X0\" is not hexadecimal.";

    // More than the window's box would take, or an invoke ID the window would
    // not send as typed.
    QTest::newRow("command of five digits") << QStringList{"--command", "54001", "h"}
                                            << "--command: Command: \"54001\" has more than 4 characters.";
    QTest::newRow("invoke ID of two digits")
        << QStringList{"--invoke-id", "12", "h"}
        << "--invoke-id: Invoke ID: \"12\" must be exactly four hexadecimal digits.";
    QTest::newRow("a '%' in a text stays as typed")
        << QStringList{"--var-no", "%1%2", "h"} << "--var-no: Var No: \"%1%2\" is not hexadecimal.";
}

void TestProbeOptions::refused()
{
    QFETCH(QStringList, arguments);
    const ProbeCommandLine line = parseProbeCommandLine(withProgram(arguments));
    QCOMPARE(line.action, ProbeCommandLine::Action::Error);
    QTEST(line.error, "message");
}

void TestProbeOptions::helpAndVersion()
{
    QCOMPARE(parseProbeCommandLine(withProgram({"--help"})).action, ProbeCommandLine::Action::Help);
    QCOMPARE(parseProbeCommandLine(withProgram({"-h", "--bogus-value=1"})).action,
             ProbeCommandLine::Action::Error);
    QCOMPARE(parseProbeCommandLine(withProgram({"-c", "0", "--help"})).action,
             ProbeCommandLine::Action::Help);
    QCOMPARE(parseProbeCommandLine(withProgram({"-V"})).action, ProbeCommandLine::Action::Version);
    QVERIFY(probeHelpText().startsWith("Usage: vexa-probe [OPTION]... HOST\n"));
}

QTEST_APPLESS_MAIN(TestProbeOptions)
#include "tst_probe_options.moc"
