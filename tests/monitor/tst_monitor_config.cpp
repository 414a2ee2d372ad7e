// SPDX-License-Identifier: GPL-3.0-or-later
// The targets file: what each good file gives, with every default and
// override, and the "file:line: reason" of every file that cannot be used.
#include "monitor_config.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Request files the rows name, by file name.
const QList<QPair<QString, QByteArray>> kRequestFiles = {
    // Texts only: TCP, no host, the protocol's port.
    {"read-var.vexa",
     R"({"format": "vexa-request", "version": 1, "request": {"command": "5800", "invokeId": "1A2B"}})"},
    // A UDP request with where it goes.
    {"udp-host.vexa", R"({"format": "vexa-request", "version": 1,
        "connection": {"protocol": "udp", "host": "10.0.0.7", "port": 40000}})"},
    {"bad-text.vexa", R"({"format": "vexa-request", "version": 1, "request": {"command": "5X00"}})"},
    {"not-json.vexa", "read var 0001\n"},
    {"bad-host.vexa", R"({"format": "vexa-request", "version": 1, "connection": {"host": "plc 7"}})"},
};

QString protocolText(RequestProtocol protocol)
{
    return protocol == RequestProtocol::Tcp ? QStringLiteral("tcp") : QStringLiteral("udp");
}

// A target in one line a row can spell out: name, host, protocol, port,
// request file, interval and timeout in ms, command and invoke ID texts, and
// the labels.
QString describe(const TargetConfig& t, const QString& dir)
{
    QStringList labels;
    for (const auto& [name, value] : t.labels)
        labels << name + u'=' + value;
    QString request = t.requestPath;
    if (request.startsWith(dir + u'/'))
        request = request.mid(dir.size() + 1);
    return QStringLiteral("%1 %2 %3 %4 %5 %6/%7 %8/%9 {%10}")
        .arg(t.name, t.host, protocolText(t.protocol), QString::number(t.port), request,
             QString::number(t.intervalMs), QString::number(t.replyTimeoutMs), t.texts.cmnd, t.texts.invokeId,
             labels.join(u','));
}

} // namespace

class TestMonitorConfig : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void parse_data();
    void parse();

private:
    QTemporaryDir m_dir;
};

void TestMonitorConfig::initTestCase()
{
    QVERIFY(m_dir.isValid());
    for (const auto& [name, bytes] : kRequestFiles) {
        QFile file(m_dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    QVERIFY(QDir(m_dir.path()).mkdir("sub"));
}

void TestMonitorConfig::parse_data()
{
    QTest::addColumn<QByteArray>("text");
    // The targets, one line each; or, for a file that cannot be used, "!"
    // and the start of its message ($DIR is the folder of the file).
    QTest::addColumn<QString>("expected");

    // Good files.
    QTest::newRow("the shipped example") << QByteArray("# vexa-monitor targets\n"
                                                       "[press-1]\n"
                                                       "host = 10.0.0.11\n"
                                                       "protocol = tcp\n"
                                                       "request = read-var.vexa\n"
                                                       "interval = 1s\n"
                                                       "reply-timeout = 500ms\n"
                                                       "label.site = north\n"
                                                       "label.line = 3\n")
                                         << "press-1 10.0.0.11 tcp 2004 read-var.vexa 1000/500 5800/0000 "
                                            "{line=3,site=north}";
    QTest::newRow("defaults: TCP 2004, a request a second, a second's timeout")
        << QByteArray("[a]\nhost = 10.0.0.1\nrequest = read-var.vexa\n")
        << "a 10.0.0.1 tcp 2004 read-var.vexa 1000/1000 5800/0000 {}";
    QTest::newRow("UDP goes to the module's UDP port")
        << QByteArray("[a]\nhost = 10.0.0.1\nprotocol = udp\nrequest = read-var.vexa\n")
        << "a 10.0.0.1 udp 2005 read-var.vexa 1000/1000 5800/0000 {}";
    QTest::newRow("the request file's protocol, host and port when the target has none")
        << QByteArray("[a]\nrequest = udp-host.vexa\n")
        << "a 10.0.0.7 udp 40000 udp-host.vexa 1000/1000 5400/0000 {}";
    QTest::newRow("another protocol than the request file's leaves its port behind")
        << QByteArray("[a]\nrequest = udp-host.vexa\nprotocol = tcp\n")
        << "a 10.0.0.7 tcp 2004 udp-host.vexa 1000/1000 5400/0000 {}";
    QTest::newRow("the target's host and port win over the request file's")
        << QByteArray("[a]\nrequest = udp-host.vexa\nhost = 10.0.0.8\nport = 7000\n")
        << "a 10.0.0.8 udp 7000 udp-host.vexa 1000/1000 5400/0000 {}";
    QTest::newRow("a request path relative to a subfolder")
        << QByteArray("[a]\nhost = 10.0.0.1\nrequest = sub/../read-var.vexa\n")
        << "a 10.0.0.1 tcp 2004 read-var.vexa 1000/1000 5800/0000 {}";
    QTest::newRow("an absolute request path")
        << QByteArray("[a]\nhost = 10.0.0.1\nrequest = $DIR/read-var.vexa\n")
        << "a 10.0.0.1 tcp 2004 read-var.vexa 1000/1000 5800/0000 {}";
    QTest::newRow("comments, blank lines, CRLF and no spaces around =")
        << QByteArray(
               "; plant north\r\n\r\n  [a]  \r\n# the press\r\nhost=10.0.0.1\r\nrequest=read-var.vexa\r\n")
        << "a 10.0.0.1 tcp 2004 read-var.vexa 1000/1000 5800/0000 {}";
    QTest::newRow("a byte order mark before the first section")
        << QByteArray("\xEF\xBB\xBF[a]\nhost = 10.0.0.1\nrequest = read-var.vexa\n")
        << "a 10.0.0.1 tcp 2004 read-var.vexa 1000/1000 5800/0000 {}";
    QTest::newRow("a short interval shortens the default timeout")
        << QByteArray("[a]\nhost = 10.0.0.1\nrequest = read-var.vexa\ninterval = 250ms\n")
        << "a 10.0.0.1 tcp 2004 read-var.vexa 250/250 5800/0000 {}";
    QTest::newRow("fractions of seconds, minutes and hours")
        << QByteArray(
               "[a]\nhost = 10.0.0.1\nrequest = read-var.vexa\ninterval = 1.5s\nreply-timeout = 1.25s\n"
               "[b]\nhost = 10.0.0.1\nrequest = read-var.vexa\ninterval = 2m\nreply-timeout = 0.5m\n"
               "[c]\nhost = 10.0.0.1\nrequest = read-var.vexa\ninterval = 1h\n")
        << "a 10.0.0.1 tcp 2004 read-var.vexa 1500/1250 5800/0000 {}\n"
           "b 10.0.0.1 tcp 2004 read-var.vexa 120000/30000 5800/0000 {}\n"
           "c 10.0.0.1 tcp 2004 read-var.vexa 3600000/1000 5800/0000 {}";
    QTest::newRow("IPv6 addresses, bracketed or not, and host names")
        << QByteArray("[a]\nhost = [fd00::11]\nrequest = read-var.vexa\n"
                      "[b]\nhost = ::1\nrequest = read-var.vexa\n"
                      "[c]\nhost = plc-7.north.example.\nrequest = read-var.vexa\n")
        << "a fd00::11 tcp 2004 read-var.vexa 1000/1000 5800/0000 {}\n"
           "b ::1 tcp 2004 read-var.vexa 1000/1000 5800/0000 {}\n"
           "c plc-7.north.example. tcp 2004 read-var.vexa 1000/1000 5800/0000 {}";
    QTest::newRow("label values keep their spaces and signs; names sorted")
        << QByteArray("[Press 1 (north)]\nhost = 10.0.0.1\nrequest = read-var.vexa\n"
                      "label.zone = hall B, bay 3\nlabel.area_2 = \"x\" = y\n")
        << "Press 1 (north) 10.0.0.1 tcp 2004 read-var.vexa 1000/1000 5800/0000 {area_2=\"x\" = y,zone=hall "
           "B, "
           "bay 3}";

    // Files that cannot be used.
    QTest::newRow("an unknown key") << QByteArray("[a]\nhots = 10.0.0.1\n")
                                    << "!targets.conf:2: unknown key \"hots\" (known: host, protocol, port, "
                                       "request, interval, reply-timeout, label.NAME)";
    QTest::newRow("a key before the first section")
        << QByteArray("# north\nhost = 10.0.0.1\n[a]\n")
        << "!targets.conf:2: key \"host\" before the first [name] section";
    QTest::newRow("a line that is no key = value")
        << QByteArray("[a]\nhost 10.0.0.1\n")
        << "!targets.conf:2: expected \"key = value\", a [name] or a # comment, got \"host 10.0.0.1\"";
    QTest::newRow("a value without a key")
        << QByteArray("[a]\n= 10.0.0.1\n") << "!targets.conf:2: a value without its key";
    QTest::newRow("a section header not closed")
        << QByteArray("[press-1\n") << "!targets.conf:1: the section header \"[press-1\" has no closing ]";
    QTest::newRow("a section without a name")
        << QByteArray("[ ]\n") << "!targets.conf:1: a section without a name";
    QTest::newRow("a target name with a quote")
        << QByteArray("[a\"b]\n") << "!targets.conf:1: the target name \"a\"b\" holds a character it may not";
    QTest::newRow("two targets of one name")
        << QByteArray("[a]\nhost = 10.0.0.1\nrequest = read-var.vexa\n\n[a]\n")
        << "!targets.conf:5: a second target named \"a\" (the first is on line 1)";
    QTest::newRow("a key given twice")
        << QByteArray("[a]\nhost = 10.0.0.1\nrequest = read-var.vexa\nhost = 10.0.0.2\n")
        << "!targets.conf:4: host is given twice in [a] (first on line 2)";
    QTest::newRow("a label given twice")
        << QByteArray("[a]\nlabel.site = north\nlabel.site = south\n")
        << "!targets.conf:3: label.site is given twice in [a] (first on line 2)";
    QTest::newRow("no request file") << QByteArray("[a]\nhost = 10.0.0.1\n")
                                     << "![a] has no request: add request = FILE";
    QTest::newRow("a request file that does not exist")
        << QByteArray("[a]\nhost = 10.0.0.1\nrequest = raed-var.vexa\n")
        << "!targets.conf:3: the request file $DIR/raed-var.vexa does not exist";
    QTest::newRow("a file that is not a request file")
        << QByteArray("[a]\nhost = 10.0.0.1\nrequest = not-json.vexa\n")
        << "!targets.conf:3: the request file $DIR/not-json.vexa cannot be used: Not a request file";
    QTest::newRow("a request text that cannot be sent")
        << QByteArray("[a]\nhost = 10.0.0.1\nrequest = bad-text.vexa\n")
        << "!targets.conf:3: the request file $DIR/bad-text.vexa cannot be used: Command: \"5X00\"";
    QTest::newRow("a request file with a host that is none")
        << QByteArray("[a]\n\nrequest = bad-host.vexa\n")
        << "!targets.conf:3: the request file $DIR/bad-host.vexa names the host \"plc 7\", which is not an "
           "IP "
           "address or a host name";
    QTest::newRow("no host in the target nor its request file")
        << QByteArray("\n[a]\nrequest = read-var.vexa\n")
        << "!targets.conf:2: [a] has no host: add host = ADDRESS (its request file names none)";
    QTest::newRow("an empty host") << QByteArray("[a]\nhost =\nrequest = read-var.vexa\n")
                                   << "!targets.conf:2: host is empty";
    QTest::newRow("an IPv4 address out of range")
        << QByteArray("[a]\nhost = 10.0.0.300\nrequest = read-var.vexa\n")
        << "!targets.conf:2: host \"10.0.0.300\" is not an IP address or a host name";
    QTest::newRow("three numbers are no address")
        << QByteArray("[a]\nhost = 10.0.1\nrequest = read-var.vexa\n")
        << "!targets.conf:2: host \"10.0.1\" is not an IP address or a host name";
    QTest::newRow("a host name with an underscore")
        << QByteArray("[a]\nhost = plc_7\nrequest = read-var.vexa\n")
        << "!targets.conf:2: host \"plc_7\" is not an IP address or a host name";
    QTest::newRow("a host name label starting with a hyphen")
        << QByteArray("[a]\nhost = plc.-north\nrequest = read-var.vexa\n")
        << "!targets.conf:2: host \"plc.-north\" is not an IP address or a host name";
    QTest::newRow("an address and port in one")
        << QByteArray("[a]\nhost = 10.0.0.1:2004\nrequest = read-var.vexa\n")
        << "!targets.conf:2: host \"10.0.0.1:2004\" is not an IP address";
    QTest::newRow("a protocol that is neither")
        << QByteArray("[a]\nhost = 10.0.0.1\nrequest = read-var.vexa\nprotocol = sctp\n")
        << "!targets.conf:4: protocol \"sctp\" is neither tcp nor udp";
    QTest::newRow("port 0") << QByteArray("[a]\nhost = 10.0.0.1\nrequest = read-var.vexa\nport = 0\n")
                            << "!targets.conf:4: port \"0\" is not a whole number from 1 to 65535";
    QTest::newRow("a port past 65535")
        << QByteArray("[a]\nhost = 10.0.0.1\nrequest = read-var.vexa\nport = 65536\n")
        << "!targets.conf:4: port \"65536\" is not a whole number from 1 to 65535";
    QTest::newRow("a duration without its unit")
        << QByteArray("[a]\nhost = 10.0.0.1\nrequest = read-var.vexa\ninterval = 5\n")
        << "!targets.conf:4: interval \"5\" is not a duration: a number and its unit, ms, s, m or h (e.g. "
           "500ms, 1s)";
    QTest::newRow("a duration in an unknown unit")
        << QByteArray("[a]\nhost = 10.0.0.1\nrequest = read-var.vexa\nreply-timeout = 5x\n")
        << "!targets.conf:4: reply-timeout \"5x\" is not a duration";
    QTest::newRow("a negative duration")
        << QByteArray("[a]\nhost = 10.0.0.1\nrequest = read-var.vexa\ninterval = -1s\n")
        << "!targets.conf:4: interval \"-1s\" is not a duration";
    QTest::newRow("an interval too short")
        << QByteArray("[a]\nhost = 10.0.0.1\nrequest = read-var.vexa\ninterval = 0s\n")
        << "!targets.conf:4: interval 0s is out of range: from 10ms to 1h";
    QTest::newRow("an interval longer than an hour")
        << QByteArray("[a]\nhost = 10.0.0.1\nrequest = read-var.vexa\ninterval = 61m\n")
        << "!targets.conf:4: interval 61m is out of range: from 10ms to 1h";
    QTest::newRow("a reply timeout longer than the interval")
        << QByteArray("[a]\nhost = 10.0.0.1\nrequest = read-var.vexa\nreply-timeout = 2s\ninterval = 1s\n")
        << "!targets.conf:4: reply-timeout 2s is longer than the interval 1s";
    QTest::newRow("a label name with a digit first")
        << QByteArray("[a]\nlabel.1st = x\n") << "!targets.conf:2: \"1st\" is not a label name";
    QTest::newRow("a label name Prometheus keeps for itself")
        << QByteArray("[a]\nlabel.__name__ = x\n") << "!targets.conf:2: \"__name__\" is not a label name";
    QTest::newRow("a label the monitor sets itself")
        << QByteArray("[a]\nlabel.host = x\n") << "!targets.conf:2: the label \"host\" is the monitor's own";
    QTest::newRow("a label without a value")
        << QByteArray("[a]\nlabel.site =\n") << "!targets.conf:2: label.site has no value";
    QTest::newRow("an empty file") << QByteArray() << "!targets.conf:1: no targets";
    QTest::newRow("comments only") << QByteArray(
        "# none yet\n# [a]\n") << "!targets.conf:2: no targets: the file needs at least one [name] section";
}

void TestMonitorConfig::parse()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, expected);
    const QString dir = m_dir.path();
    text.replace("$DIR", dir.toUtf8());
    expected.replace(QStringLiteral("$DIR"), dir);

    const MonitorConfigRead read = parseMonitorConfig(text, QStringLiteral("targets.conf"), dir);
    if (expected.startsWith(u'!')) {
        QVERIFY2(!read.config, "the file was taken");
        const QString message = expected.mid(1);
        // A reason about a section names the section's line.
        if (message.startsWith(u'['))
            QVERIFY2(read.error.startsWith(QStringLiteral("targets.conf:1: ") + message),
                     qPrintable(read.error));
        else
            QVERIFY2(read.error.startsWith(message), qPrintable(read.error));
        return;
    }
    QVERIFY2(read.config, qPrintable(read.error));
    QStringList targets;
    for (const TargetConfig& target : read.config->targets)
        targets << describe(target, dir);
    QCOMPARE(targets.join(u'\n'), expected);
}

QTEST_APPLESS_MAIN(TestMonitorConfig)
#include "tst_monitor_config.moc"
