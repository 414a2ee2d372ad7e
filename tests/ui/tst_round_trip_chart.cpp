// SPDX-License-Identifier: GPL-3.0-or-later
// The live round-trip chart: repaints held to a steady pace however often
// the data change, what it draws for empty and full sources, and its files.
#include "ui/round_trip_chart.h"

#include "report/svg_page.h"
#include "session/latency_histogram.h"
#include "session/time_bins.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QImage>
#include <QPainter>
#include <QSvgGenerator>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#endif

namespace {

constexpr qint64 kMs = 1'000'000;

// The last minute of a live window, as the workbench keeps it: 120 bins of
// 500 ms, here after 90 s of replies at 200 a second and a loss now and then.
struct Sample {
    TimeBins recent{120, 500 * kMs, TimeBins::Window::Sliding};
    LatencyHistogram all;

    void fill()
    {
        for (qint64 i = 0; i < 18'000; ++i) {
            const qint64 at = i * 5 * kMs;
            if (i % 997 == 0) {
                recent.addLost(at);
                continue;
            }
            const qint64 rtt = 800'000 + (i * 7919) % 300'000;
            recent.addReply(at, rtt);
            all.record(rtt);
        }
    }
};

// Counts the paint events a widget gets, and when the last came.
class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget* widget) { widget->installEventFilter(this); }
    int paints = 0;
    QElapsedTimer sinceLast;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint) {
            ++paints;
            sinceLast.start();
        }
        return QObject::eventFilter(watched, event);
    }
};

// The texts the chart paints, read from an SVG of it.
QStringList paintedTexts(RoundTripChart& chart)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QSvgGenerator generator;
    generator.setOutputDevice(&buffer);
    generator.setSize(chart.size());
    QPainter painter(&generator);
    chart.render(&painter);
    painter.end();
    QStringList texts;
    QXmlStreamReader xml(bytes);
    while (!xml.atEnd()) {
        if (xml.readNext() == QXmlStreamReader::Characters && !xml.isWhitespace())
            texts << xml.text().toString().trimmed();
    }
    return texts;
}

bool near(QRgb pixel, QColor colour, int tolerance)
{
    return std::abs(qRed(pixel) - colour.red()) <= tolerance
        && std::abs(qGreen(pixel) - colour.green()) <= tolerance
        && std::abs(qBlue(pixel) - colour.blue()) <= tolerance;
}

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

} // namespace

class TestRoundTripChart : public QObject {
    Q_OBJECT
private slots:
    void repaintsCoalesced_data();
    void repaintsCoalesced();
    void draws_data();
    void draws();
    void exportTo_data();
    void exportTo();
};

void TestRoundTripChart::repaintsCoalesced_data()
{
    QTest::addColumn<int>("spreadMs"); // the calls come for this long, 0: all at once
    QTest::addColumn<int>("fewest");
    QTest::addColumn<int>("most");
    QTest::newRow("a thousand calls at once: one repaint or two") << 0 << 1 << 2;
    // A steady stream still moves the chart, about 30 times a second.
    QTest::newRow("calls all through 400 ms: about a dozen repaints") << 400 << 5 << 400 / 33 + 3;
}

void TestRoundTripChart::repaintsCoalesced()
{
    QFETCH(int, spreadMs);
    QFETCH(int, fewest);
    QFETCH(int, most);
    Sample sample;
    sample.fill();
    RoundTripChart chart;
    chart.resize(480, 300);
    PaintCounter counter(&chart);
    chart.show();
    QVERIFY(QTest::qWaitForWindowExposed(&chart));
    QTRY_VERIFY(counter.paints > 0);
    chart.setSources(&sample.recent, &sample.all);
    QTRY_VERIFY(counter.sinceLast.isValid() && counter.sinceLast.elapsed() > 100);
    counter.paints = 0;

    QElapsedTimer clock;
    clock.start();
    if (spreadMs == 0) {
        for (int i = 0; i < 1000; ++i)
            chart.dataChanged();
    } else {
        while (clock.elapsed() < spreadMs) {
            chart.dataChanged();
            QCoreApplication::processEvents();
        }
    }
    // Quiet again: no repaint for a while, then count.
    QTRY_VERIFY(counter.paints >= fewest && counter.sinceLast.elapsed() > 100);
    QVERIFY2(counter.paints <= most, qPrintable(QString::number(counter.paints)));
}

void TestRoundTripChart::draws_data()
{
    QTest::addColumn<QString>("sources"); // none, empty, replies, cleared
    QTest::addColumn<QStringList>("shown");
    QTest::addColumn<QStringList>("absent");
    QTest::addColumn<bool>("bars");
    const QString none = QStringLiteral("no reply passed the checks");
    QTest::newRow("no sources: the empty chart")
        << "none" << QStringList{none} << QStringList{"p50"} << false;
    QTest::newRow("empty sources: the empty chart, with the bins' width")
        << "empty" << QStringList{none, "min to max per 500 ms"} << QStringList{"p50"} << false;
    // 19 losses in all, 12 of them in the last minute.
    QTest::newRow("replies: the last minute and the percentiles")
        << "replies" << QStringList{"30", "90", "time since start (s)", "lost (12)", "replies per bar"}
        << QStringList{none, "20", "100"} << true;
    QTest::newRow("cleared after replies: the empty chart")
        << "cleared" << QStringList{none} << QStringList{"p50"} << false;
}

// What a user sees: the texts, bars in the bars' colour or none, and a
// white page to the corners (the chart paints all of itself), at the
// screen's pixel density.
void TestRoundTripChart::draws()
{
    QFETCH(QString, sources);
    Sample sample;
    if (sources != "empty")
        sample.fill();
    RoundTripChart chart;
    chart.resize(480, 300);
    if (sources != "none")
        chart.setSources(&sample.recent, &sample.all);
    if (sources == "cleared")
        chart.clear();

    const QStringList texts = paintedTexts(chart);
    QFETCH(QStringList, shown);
    for (const QString& text : shown)
        QVERIFY2(texts.contains(text), qPrintable(text + " in " + texts.join(" | ")));
    if (sources == "replies")
        QVERIFY2(texts.filter(QRegularExpression("^p50 \\d\\.\\d{3} ms$")).size() == 1,
                 qPrintable(texts.join(" | ")));
    QFETCH(QStringList, absent);
    for (const QString& text : absent)
        QVERIFY2(!texts.contains(text) && !texts.filter(QRegularExpression("^" + text + " ")).size(),
                 qPrintable(text + " in " + texts.join(" | ")));

    const QImage image = chart.grab().toImage();
    QCOMPARE(image.size(), chart.size() * chart.devicePixelRatioF());
    for (const QPoint corner : {QPoint(0, 0), QPoint(image.width() - 1, 0), QPoint(0, image.height() - 1),
                                QPoint(image.width() - 1, image.height() - 1)})
        QCOMPARE(image.pixel(corner), qRgb(255, 255, 255));
    int barPixels = 0;
    for (int y = image.height() / 2; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x)
            barPixels += near(image.pixel(x, y), QColor(0x46, 0x82, 0xB4), 6);
    }
    QFETCH(bool, bars);
    QCOMPARE(barPixels > 100, bars);
}

void TestRoundTripChart::exportTo_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QString>("obstacle"); // none, missing directory, file size limit
    QTest::addColumn<QString>("error"); // whole, after "<path>: "; "*": any; empty: written
    QTest::newRow("png of the asked size") << "chart.png" << QSize(800, 500) << "none"
                                           << "";
    QTest::newRow("svg where the build draws it")
        << "chart.svg" << QSize(900, 600) << "none"
        << (svgPagesBuilt() ? "" : "this build writes PNG only; give the file a .png name");
    QTest::newRow("another suffix refused")
        << "chart.jpg" << QSize(800, 500) << "none"
        << (svgPagesBuilt() ? "give the file a .png or .svg name" : "give the file a .png name");
    QTest::newRow("too small to hold the panels")
        << "chart.png" << QSize(120, 80) << "none"
        << "a chart is from 400x300 to 8000x8000 pixels, not 120x80";
    QTest::newRow("no such directory") << "missing/chart.png" << QSize(800, 500) << "none"
                                       << "*";
    QTest::newRow("the disk fills part way") << "chart.png" << QSize(800, 500) << "file size limit"
                                             << "*";
}

// A refusal says why and leaves what was there before as it was.
void TestRoundTripChart::exportTo()
{
    QFETCH(QString, name);
    QFETCH(QSize, size);
    QFETCH(QString, obstacle);
    QFETCH(QString, error);
    Sample sample;
    sample.fill();
    RoundTripChart chart;
    chart.setSources(&sample.recent, &sample.all);
    QTemporaryDir dir;
    const QString path = dir.filePath(name);
    const QByteArray earlier("an earlier chart");
    {
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write(earlier);
    }
#ifdef Q_OS_UNIX
    rlimit before{};
    getrlimit(RLIMIT_FSIZE, &before);
    if (obstacle == "file size limit") {
        // Files may grow to 4 KiB only, for root as for anyone; a write
        // past that fails (EFBIG) rather than raising SIGXFSZ.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = before;
        small.rlim_cur = 4096;
        QVERIFY(setrlimit(RLIMIT_FSIZE, &small) == 0);
    }
#else
    if (obstacle == "file size limit")
        QSKIP("no file size limit to set here");
#endif
    QString why;
    const bool written = chart.exportTo(path, size, &why);
#ifdef Q_OS_UNIX
    setrlimit(RLIMIT_FSIZE, &before);
#endif
    if (error.isEmpty()) {
        QVERIFY2(written, qPrintable(why));
        if (name.endsWith(".png")) {
            const QImage image(path);
            QCOMPARE(image.size(), size);
        } else {
            QXmlStreamReader xml(contents(path));
            QVERIFY(xml.readNextStartElement());
            QCOMPARE(xml.name(), QLatin1String("svg"));
            QCOMPARE(xml.attributes().value("width").toInt(), size.width());
            QCOMPARE(xml.attributes().value("height").toInt(), size.height());
        }
        return;
    }
    QVERIFY(!written);
    QVERIFY2(why.startsWith(path + ": ") && why.size() > path.size() + 2, qPrintable(why));
    if (error != "*")
        QCOMPARE(why.mid(path.size() + 2), error);
    if (QFileInfo(path).dir() == QDir(dir.path())) {
        QCOMPARE(contents(path), earlier);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{name});
    }
}

QTEST_MAIN(TestRoundTripChart)
#include "tst_round_trip_chart.moc"
