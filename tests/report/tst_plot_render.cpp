// SPDX-License-Identifier: GPL-3.0-or-later
// The plot: axis ticks, the distribution's bars and its percentile labels,
// and whole pictures in both formats that a viewer can open, whatever the
// host's name holds.
#include "report/plot_render.h"

#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#endif

namespace {

PlotInput sampleInput(const QString& host)
{
    PlotInput input;
    input.title = QStringLiteral("vexa-probe %1 (TCP port 2004): 100 sent").arg(host);
    input.subtitle = QStringLiteral("2026-01-01 00:00:00 UTC, 1.0 s");
    TimeBins bins(50, 10'000'000);
    LatencyHistogram all(10);
    for (int i = 0; i < 100; ++i) {
        const qint64 rtt = 5'000'000 + (i % 7) * 40'000;
        bins.addReply(qint64(i) * 10'000'000, rtt);
        all.record(rtt);
    }
    bins.addLost(555'000'000);
    input.bins = bins.bins();
    input.durationNs = 1'000'000'000;
    input.distribution = all;
    return input;
}

// The sample's time bins over a distribution of `values` (ns).
PlotInput inputWith(const QList<qint64>& values)
{
    PlotInput input = sampleInput(QStringLiteral("10.0.0.5"));
    input.distribution = LatencyHistogram();
    for (qint64 v : values)
        input.distribution.record(v);
    return input;
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

class TestPlotRender : public QObject {
    Q_OBJECT
private slots:
    void ticks_data();
    void ticks();
    void bars_data();
    void bars();
    void labels_data();
    void labels();
    void labelsClearOfBars_data();
    void labelsClearOfBars();
    void drawnIntoARectangle();
    void png_data();
    void png();
    void svgIsWellFormed();
    void emptyRunStillDraws();
    void unwritablePath_data();
    void unwritablePath();
};

void TestPlotRender::ticks_data()
{
    QTest::addColumn<double>("low");
    QTest::addColumn<double>("high");
    QTest::addColumn<int>("wanted");
    QTest::addColumn<bool>("whole");
    QTest::addColumn<QList<double>>("ticks");
    QTest::newRow("0 to 10 in about 5") << 0.0 << 10.0 << 5 << false << QList<double>{0, 2, 4, 6, 8, 10};
    QTest::newRow("steps of 5") << 0.0 << 23.0 << 5 << false << QList<double>{0, 5, 10, 15, 20};
    QTest::newRow("fractions of a millisecond") << 4.93 << 5.21 << 4 << false << QList<double>{5.0, 5.1, 5.2};
    QTest::newRow("an empty range gives none") << 3.0 << 3.0 << 5 << false << QList<double>{};
    QTest::newRow("a count of two in whole steps") << 0.0 << 2.0 << 5 << true << QList<double>{0, 1, 2};
    QTest::newRow("large counts keep their round steps")
        << 0.0 << 230.0 << 5 << true << QList<double>{0, 50, 100, 150, 200};
}

void TestPlotRender::ticks()
{
    QFETCH(double, low);
    QFETCH(double, high);
    QFETCH(int, wanted);
    QFETCH(bool, whole);
    QFETCH(QList<double>, ticks);
    const QVector<double> got = axisTicks(low, high, wanted, nullptr, whole);
    QCOMPARE(got.size(), ticks.size());
    for (int i = 0; i < got.size(); ++i)
        QVERIFY2(qFuzzyCompare(got[i], ticks[i]), qPrintable(QString::number(got[i])));
}

void TestPlotRender::bars_data()
{
    QTest::addColumn<QList<qint64>>("values"); // round trips in ns
    QTest::addColumn<quint64>("below");
    QTest::addColumn<quint64>("beyond");
    QList<qint64> spread;
    for (int i = 0; i < 1000; ++i)
        spread << 5'000'000 + (i * 7919) % 400'000;
    QTest::newRow("a spread of values, all shown") << spread << quint64(0) << quint64(0);
    QList<qint64> octaves;
    for (int i = 0; i < 500; ++i)
        octaves << 3'000'000 + i * 4'000; // 3 to 5 ms, across 2^22 ns
    QTest::newRow("across a power of two") << octaves << quint64(0) << quint64(0);
    QTest::newRow("one value many times") << QList<qint64>(50, 5'000'000) << quint64(0) << quint64(0);
    QList<qint64> outliers = spread;
    outliers << 900'000'000 << 950'000'000 << 1'000;
    QTest::newRow("far outliers counted apart") << outliers << quint64(1) << quint64(2);
    // A tail of 1 % that runs on a little past the body is data, not an
    // outlier: every reply has its bar.
    QList<qint64> tail;
    for (int i = 0; i < 2000; ++i)
        tail << (i < 1980 ? (i % 100) * 60'000 : 6'000'000 + (i - 1980) * 120'000);
    QTest::newRow("a short tail past the 99th percentile, all shown") << tail << quint64(0) << quint64(0);
}

// Every bar holds a whole count, the bars together hold every value shown,
// and the range starts and ends with a bar that holds something.
void TestPlotRender::bars()
{
    QFETCH(QList<qint64>, values);
    LatencyHistogram rtt(12);
    for (qint64 v : values)
        rtt.record(v);
    const DistributionBars bars = distributionBars(rtt, 80);
    QTEST(bars.below, "below");
    QTEST(bars.beyond, "beyond");
    quint64 sum = 0;
    for (quint64 n : bars.counts)
        sum += n;
    QCOMPARE(sum + bars.below + bars.beyond, quint64(values.size()));
    QVERIFY(bars.counts.size() >= 9 && bars.counts.size() <= 81);
    const auto full = [](quint64 n) { return n > 0; };
    const qsizetype leading =
        std::find_if(bars.counts.begin(), bars.counts.end(), full) - bars.counts.begin();
    const qsizetype trailing =
        std::find_if(bars.counts.rbegin(), bars.counts.rend(), full) - bars.counts.rbegin();
    // No empty tail: empty bars at the ends only to centre a narrow one.
    if (bars.counts.size() > 9)
        QCOMPARE(leading + trailing, 0);
    else
        QVERIFY2(std::abs(leading - trailing) <= 1,
                 qPrintable(QStringLiteral("%1, %2").arg(leading).arg(trailing)));
    // Nothing shown lies outside the range.
    if (!bars.below)
        QVERIFY(bars.lowNs <= *std::min_element(values.begin(), values.end()));
    if (!bars.beyond)
        QVERIFY(bars.highNs() > *std::max_element(values.begin(), values.end()));
}

void TestPlotRender::labels_data()
{
    QTest::addColumn<QList<qreal>>("anchors");
    QTest::addColumn<bool>("oneRow");
    QTest::newRow("far apart: one row") << QList<qreal>{100, 300, 500} << true;
    QTest::newRow("p50, p90 and p99 a pixel apart") << QList<qreal>{400, 401, 402} << false;
    QTest::newRow("close at the right edge") << QList<qreal>{690, 695, 699} << false;
    QTest::newRow("two close, one apart") << QList<qreal>{100, 130, 500} << false;
}

// However close the percentiles, no label overlaps another or leaves the
// panel.
void TestPlotRender::labels()
{
    QFETCH(QList<qreal>, anchors);
    const QRectF area(50, 20, 650, 300);
    const QVector<QRectF> boxes = placeLabels(anchors, QVector<qreal>(anchors.size(), 120), 14, area);
    QCOMPARE(boxes.size(), anchors.size());
    for (int i = 0; i < boxes.size(); ++i) {
        QVERIFY2(area.contains(boxes[i]), qPrintable(QString::number(i)));
        for (int j = 0; j < i; ++j)
            QVERIFY2(!boxes[i].intersects(boxes[j]), qPrintable(QStringLiteral("%1 and %2").arg(i).arg(j)));
    }
    QFETCH(bool, oneRow);
    QCOMPARE(std::all_of(boxes.begin(), boxes.end(), [&](const QRectF& b) { return b.top() == area.top(); }),
             oneRow);
}

void TestPlotRender::labelsClearOfBars_data()
{
    QTest::addColumn<QList<qint64>>("values");
    QTest::addColumn<QSize>("size");
    // Round trips that vary little, so the median falls on the tallest bars.
    QList<qint64> even;
    for (int i = 0; i < 2000; ++i)
        even << 5'000'000 + (i % 7) * 40'000;
    QTest::newRow("p50 on the tallest bar") << even << QSize(1200, 800);
    QTest::newRow("p50 on the tallest bar, smallest plot") << even << QSize(400, 300);
    QList<qint64> peak(900, 5'000'000);
    for (int i = 0; i < 100; ++i)
        peak << 4'000'000 + i * 20'000;
    QTest::newRow("all three on one tall bar, in three rows") << peak << QSize(1200, 800);
    QList<qint64> tail;
    for (int i = 0; i < 1000; ++i)
        tail << 1'000'000 + (i * 7919) % 100'000 + (i % 10 == 0 ? 3'000'000 : 0);
    QTest::newRow("p90 and p99 over a tall bar at the right edge") << tail << QSize(900, 600);
}

// No percentile label covers a bar: in the layout the picture is drawn by,
// and in the picture, where the top of every bar under a label shows the
// bars' colour rather than the label's pale ground.
void TestPlotRender::labelsClearOfBars()
{
    QFETCH(QList<qint64>, values);
    QFETCH(QSize, size);
    const PlotInput input = inputWith(values);
    const PlotPanels panels = plotPanels(QRectF(QPointF(0, 0), size), input);
    const DistributionLayout layout =
        distributionLayout(input.distribution, panels.distribution, panels.fontPx);
    QCOMPARE(layout.labels.size(), 3);
    QVERIFY(!layout.barRects.isEmpty());
    for (const DistributionLayout::Label& label : layout.labels) {
        QVERIFY2(panels.distribution.contains(label.box), qPrintable(label.text));
        for (const QRectF& bar : layout.barRects)
            QVERIFY2(!label.box.intersects(bar), qPrintable(label.text));
    }

    QTemporaryDir dir;
    QString error;
    QVERIFY2(writePlot(dir.filePath("plot.png"), size, input, &error), qPrintable(error));
    const QImage image(dir.filePath("plot.png"));
    // Every column of a bar's top under a label, but for the bars' gaps and
    // the percentile lines drawn across them.
    auto onALine = [&](int x) {
        return std::any_of(layout.labels.begin(), layout.labels.end(),
                           [&](const auto& label) { return std::abs(label.x - x) < 3; });
    };
    for (const DistributionLayout::Label& label : layout.labels) {
        for (const QRectF& bar : layout.barRects) {
            if (bar.height() < 4)
                continue;
            const int y = qCeil(bar.top()) + 1;
            for (int x = qCeil(std::max(bar.left(), label.box.left())) + 1;
                 x < std::min(bar.right(), label.box.right()) - 1; ++x) {
                if (onALine(x))
                    continue;
                QVERIFY2(
                    near(image.pixel(x, y), QColor(0x46, 0x82, 0xB4), 12),
                    qPrintable(QStringLiteral("%1 over the bar at %2, %3").arg(label.text).arg(x).arg(y)));
            }
        }
    }
}

// Drawn into part of a larger picture, the plot is the file's picture moved
// there, and what lies around it is left as it was.
void TestPlotRender::drawnIntoARectangle()
{
    const PlotInput input = sampleInput(QStringLiteral("10.0.0.5"));
    const QSize size(600, 400);
    QTemporaryDir dir;
    QString error;
    QVERIFY2(writePlot(dir.filePath("plot.png"), size, input, &error), qPrintable(error));
    const QImage file = QImage(dir.filePath("plot.png")).convertToFormat(QImage::Format_ARGB32_Premultiplied);

    QImage page(800, 600, QImage::Format_ARGB32_Premultiplied);
    page.fill(Qt::magenta);
    QPainter painter(&page);
    const QRect where(QPoint(120, 90), size);
    drawPlot(painter, where, input);
    // The painter's own state stays the caller's.
    QVERIFY(!painter.testRenderHint(QPainter::Antialiasing));
    QVERIFY(!painter.hasClipping());
    painter.end();
    QCOMPARE(page.copy(where), file);
    QCOMPARE(page.pixel(where.left() - 1, where.top() - 1), QColor(Qt::magenta).rgb());
    QCOMPARE(page.pixel(where.right() + 1, where.bottom() + 1), QColor(Qt::magenta).rgb());
}

void TestPlotRender::png_data()
{
    QTest::addColumn<QSize>("size");
    QTest::newRow("default size") << QSize(1200, 800);
    QTest::newRow("smallest") << QSize(400, 300);
    QTest::newRow("tall") << QSize(600, 1400);
}

void TestPlotRender::png()
{
    QFETCH(QSize, size);
    QTemporaryDir dir;
    const QString path = dir.filePath("plot.png");
    QString error;
    QVERIFY2(writePlot(path, size, sampleInput("10.0.0.5"), &error), qPrintable(error));
    const QImage image(path);
    QVERIFY(!image.isNull());
    QCOMPARE(image.size(), size);
    // Something was drawn: not a blank page.
    int dark = 0;
    for (int y = 0; y < image.height(); y += 2) {
        for (int x = 0; x < image.width(); x += 2)
            dark += qGray(image.pixel(x, y)) < 128;
    }
    QVERIFY(dark > 500);
}

void TestPlotRender::svgIsWellFormed()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("plot.svg");
    QString error;
    QVERIFY2(writePlot(path, QSize(900, 600), sampleInput(QStringLiteral("<a&b>\"%1\"")), &error),
             qPrintable(error));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&file);
    QVERIFY(xml.readNextStartElement());
    QCOMPARE(xml.name(), QLatin1String("svg"));
    QCOMPARE(xml.attributes().value("width"), QLatin1String("900"));
    QCOMPARE(xml.attributes().value("height"), QLatin1String("600"));
    bool titleFound = false;
    while (!xml.atEnd()) {
        if (xml.readNext() == QXmlStreamReader::Characters
            && xml.text().startsWith(QLatin1String("vexa-probe <a&b>\"%1\"")))
            titleFound = true;
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    QVERIFY(titleFound);
    // And a renderer draws it.
    QSvgRenderer renderer(path);
    QVERIFY(renderer.isValid());
    QImage image(900, 600, QImage::Format_ARGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    renderer.render(&painter);
    painter.end();
    int dark = 0;
    for (int y = 0; y < image.height(); y += 2) {
        for (int x = 0; x < image.width(); x += 2)
            dark += qGray(image.pixel(x, y)) < 128;
    }
    QVERIFY(dark > 500);
}

void TestPlotRender::emptyRunStillDraws()
{
    QTemporaryDir dir;
    PlotInput input;
    input.title = QStringLiteral("nothing answered");
    QString error;
    QVERIFY2(writePlot(dir.filePath("empty.png"), QSize(640, 480), input, &error), qPrintable(error));
    QCOMPARE(QImage(dir.filePath("empty.png")).size(), QSize(640, 480));
    // It says why it is empty, and its legend names no bin width it has not got.
    QVERIFY2(writePlot(dir.filePath("empty.svg"), QSize(640, 480), input, &error), qPrintable(error));
    QStringList texts;
    QXmlStreamReader xml(contents(dir.filePath("empty.svg")));
    while (!xml.atEnd()) {
        if (xml.readNext() == QXmlStreamReader::Characters && !xml.isWhitespace())
            texts << xml.text().toString().trimmed();
    }
    QVERIFY2(texts.contains("no reply passed the checks"), qPrintable(texts.join(" | ")));
    QVERIFY2(texts.contains("min to max per bin"), qPrintable(texts.join(" | ")));
}

void TestPlotRender::unwritablePath_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("no such directory") << "missing directory";
    QTest::newRow("a directory of that name") << "directory";
    QTest::newRow("the disk fills part way: the earlier picture stays whole") << "file size limit";
}

// Refused, with the reason, and whatever was there before is still there.
void TestPlotRender::unwritablePath()
{
    QFETCH(QString, kind);
    QTemporaryDir dir;
    QString path = dir.filePath("plot.png");
    const QByteArray earlier("an earlier picture");
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(earlier);
    }
#ifdef Q_OS_UNIX
    rlimit before{};
    getrlimit(RLIMIT_FSIZE, &before);
#endif
    if (kind == "missing directory") {
        path = QStringLiteral("/nonexistent-directory-of-the-probe/plot.svg");
    } else if (kind == "directory") {
        path = dir.filePath("a-directory.png");
        QVERIFY(QDir(dir.path()).mkdir("a-directory.png"));
    } else {
#ifdef Q_OS_UNIX
        // Files may grow to 4 KiB only, for root as for anyone; a write
        // past that fails (EFBIG) rather than raising SIGXFSZ.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = before;
        small.rlim_cur = 4096;
        QVERIFY(setrlimit(RLIMIT_FSIZE, &small) == 0);
#else
        QSKIP("no file size limit to set here");
#endif
    }
    QString error;
    const bool written = writePlot(path, QSize(640, 480), sampleInput("h"), &error);
#ifdef Q_OS_UNIX
    setrlimit(RLIMIT_FSIZE, &before);
#endif
    QVERIFY(!written);
    QVERIFY(!error.isEmpty());
    QCOMPARE(contents(dir.filePath("plot.png")), earlier);
    // Nor a half-written temporary left beside it.
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"plot.png"});
}

QTEST_MAIN(TestPlotRender)
#include "tst_plot_render.moc"
