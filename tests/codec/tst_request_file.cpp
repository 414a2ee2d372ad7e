// SPDX-License-Identifier: GPL-3.0-or-later
// Request files: what a file on disk gives, what writing it back gives, and
// the message for every file that cannot be used.
#include "codec/request_file.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

// Everything a file gave, in one line a row can spell out.
QString describe(const RequestFile& f)
{
    QString has;
    for (bool given : f.hasText)
        has += given ? u'1' : u'0';
    const auto optionalNumber = [](const auto& value) {
        return value ? QString::number(*value) : QStringLiteral("-");
    };
    return QStringLiteral("[%1|%2|%3|%4|%5|%6|%7] has=%8")
               .arg(f.texts.comId, f.texts.src, f.texts.invokeId, f.texts.cmnd, f.texts.dataType,
                    f.texts.varNo, f.texts.data, has)
        + QStringLiteral(" %1 host=%2 port=%3 timeout=%4")
              .arg(!f.protocol                               ? QStringLiteral("-")
                       : *f.protocol == RequestProtocol::Udp ? QStringLiteral("udp")
                                                             : QStringLiteral("tcp"),
                   f.host ? *f.host : QStringLiteral("-"), optionalNumber(f.port),
                   optionalNumber(f.replyTimeoutMs));
}

// A request file of version 1 with these members besides format and version.
QByteArray file(const QByteArray& members)
{
    return R"({"format": "vexa-request", "version": 1)" + (members.isEmpty() ? "" : ", " + members) + "}";
}

QByteArray withRequest(const QByteArray& texts)
{
    return file(R"("request": {)" + texts + "}");
}

QByteArray withConnection(const QByteArray& values)
{
    return file(R"("connection": {)" + values + "}");
}

const QString kDefaultTexts = QStringLiteral("[KORV-TAMBE|33|0000|5400|0100|1000|0800255157302E302E30]");

// What the window writes for a UDP request to 192.168.0.10: the format as
// it is kept on disk and in version control.
const QByteArray kWrittenByTheWindow = R"({
    "connection": {
        "host": "192.168.0.10",
        "protocol": "udp",
        "replyTimeoutMs": 2500
    },
    "format": "vexa-request",
    "request": {
        "comId": "ACME",
        "command": "5800",
        "data": "0800",
        "dataType": "0200",
        "invokeId": "1a2B",
        "source": "0b",
        "varNo": "0001"
    },
    "version": 1
}
)";

} // namespace

class TestRequestFile : public QObject {
    Q_OBJECT
private slots:
    void load_data();
    void load();
};

void TestRequestFile::load_data()
{
    QTest::addColumn<QByteArray>("bytes"); // null: no file at all
    QTest::addColumn<QString>("values"); // empty for a refused file
    QTest::addColumn<QString>("error");

    QTest::newRow("the window's file, byte for byte as written back")
        << kWrittenByTheWindow
        << "[ACME|0b|1a2B|5800|0200|0001|0800] has=1111111 udp host=192.168.0.10 port=-"
           " timeout=2500"
        << "";
    QTest::newRow("texts left out are the default request's, and flagged as left out")
        << withRequest(R"("command": "5801")")
        << "[KORV-TAMBE|33|0000|5801|0100|1000|0800255157302E302E30] has=0001000 - host=- port=- timeout=-"
        << "";
    QTest::newRow("only format and version: the default request")
        << file("") << kDefaultTexts + " has=0000000 - host=- port=- timeout=-"
        << "";
    QTest::newRow("texts kept exactly as typed: empty, odd length, two-digit invoke ID, a '%'")
        << withRequest(R"("comId": "%1 x", "source": "b", "invokeId": "12", "data": "a1b")")
        << "[%1 x|b|12|5400|0100|1000|a1b] has=1110001 - host=- port=- timeout=-"
        << "";
    QTest::newRow("Latin-1 company ID, escaped or not")
        << withRequest("\"comId\": \"\\u00c4l-\xc3\x96l\"")
        << QString::fromUtf8("[\xc3\x84l-\xc3\x96l|33|0000|5400|0100|1000|0800255157302E302E30] has=1000000"
                             " - host=- port=- timeout=-")
        << "";
    QTest::newRow("connection: TCP in capitals, a port, an IPv6 host")
        << withConnection(R"("protocol": "TCP", "host": "::1", "port": 40000, "replyTimeoutMs": 1)")
        << kDefaultTexts + " has=0000000 tcp host=::1 port=40000 timeout=1"
        << "";

    // The system's own words, with one full stop: Linux says "No such file
    // or directory", Windows "File not found."
    const QTemporaryDir scratch;
    QFile missing(scratch.filePath(QStringLiteral("request.vexa")));
    QVERIFY(!missing.open(QIODevice::ReadOnly));
    QString reason = missing.errorString();
    if (reason.endsWith(u'.'))
        reason.chop(1);
    QTest::newRow("no such file") << QByteArray() << ""
                                  << "Cannot read the file: " + reason + u'.';
    QTest::newRow("an empty file") << QByteArray("\n") << ""
                                   << "Not a request file: it is empty.";
    QTest::newRow("a large file of something else") << QByteArray(1024 * 1024 + 1, ' ') << ""
                                                    << "Not a request file: it is larger than 1048576 bytes.";
    QTest::newRow("not JSON") << QByteArray("[Request]\ncommand=5400\n") << ""
                              << "Not a request file: it is not JSON (illegal number at character 1).";
    QTest::newRow("another program's JSON") << QByteArray(R"({"name": "vexa", "version": 1})") << ""
                                            << "Not a request file: it has no \"format\": \"vexa-request\".";
    QTest::newRow("no version") << QByteArray(R"({"format": "vexa-request"})") << ""
                                << "Not a request file: it has no format version.";
    QTest::newRow("a newer version")
        << QByteArray(R"({"format": "vexa-request", "version": 2, "request": {"later": 1}})") << ""
        << "Format version 2 is newer than this program reads (1); open the file with a newer one.";
    QTest::newRow("version in quotes") << QByteArray(R"({"format": "vexa-request", "version": "1"})") << ""
                                       << "Format version: \"version\" holds a text, not a number.";
    QTest::newRow("a misspelt text") << withRequest(R"("comand": "5800")") << ""
                                     << "Unknown field \"comand\" in \"request\".";
    QTest::newRow("an unknown section") << file(R"("requests": {})") << ""
                                        << "Unknown field \"requests\".";
    QTest::newRow("request as a list") << file(R"("request": ["5400"])") << ""
                                       << "\"request\" holds a list, not an object.";
    QTest::newRow("a text written as a number")
        << withRequest(R"("command": 5400)") << ""
        << "Command: \"command\" holds a number, not a text in quotes.";
    QTest::newRow("a text the window cannot send") << withRequest(R"("command": "5X00")") << ""
                                                   << "Command: \"5X00\" is not hexadecimal.";
    QTest::newRow("an invoke ID longer than its box, which would cut it")
        << withRequest(R"("invokeId": "12345")") << ""
        << "Invoke ID: \"12345\" has more than 4 characters.";
    QTest::newRow("a protocol other than TCP and UDP") << withConnection(R"("protocol": "ftp")") << ""
                                                       << "Protocol: \"ftp\" is neither \"tcp\" nor \"udp\".";
    QTest::newRow("a host written as a number") << withConnection(R"("host": 10)") << ""
                                                << "Address: \"host\" holds a number, not a text in quotes.";
    QTest::newRow("port beyond 16 bits") << withConnection(R"("port": 65536)") << ""
                                         << "Port: 65536 is not a whole number from 1 to 65535.";
    QTest::newRow("port in quotes") << withConnection(R"("port": "2004")") << ""
                                    << "Port: \"port\" holds a text, not a number.";
    QTest::newRow("reply timeout beyond an hour")
        << withConnection(R"("replyTimeoutMs": 3600000.5)") << ""
        << "Reply timeout: 3600000.5 is not a whole number of milliseconds from 1 to 3600000.";
}

void TestRequestFile::load()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, values);
    QFETCH(QString, error);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("request.vexa"));
    if (!bytes.isNull()) {
        QFile out(path);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(bytes);
    }
    const RequestFileRead read = loadRequestFile(path);
    if (!error.isEmpty()) {
        if (read.file)
            QCOMPARE(describe(*read.file), values);
        QCOMPARE(read.error, error);
        QVERIFY(!read.file);
        return;
    }
    QCOMPARE(read.error, QString());
    QVERIFY(read.file);
    QCOMPARE(describe(*read.file), values);

    // Saved and read again, the file gives the same request with all seven
    // texts now in it.
    const QString again = dir.filePath(QStringLiteral("again.vexa"));
    QCOMPARE(saveRequestFile(again, *read.file), std::nullopt);
    const RequestFileRead reread = loadRequestFile(again);
    QCOMPARE(reread.error, QString());
    QVERIFY(reread.file);
    QCOMPARE(describe(*reread.file), QString(values).replace(QRegularExpression("has=\\d+"), "has=1111111"));
    if (bytes == kWrittenByTheWindow) {
        QFile written(again);
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll(), bytes);
    }
}

QTEST_APPLESS_MAIN(TestRequestFile)
#include "tst_request_file.moc"
