// SPDX-License-Identifier: GPL-3.0-or-later
// The plot: axis ticks, and whole pictures in both formats that a viewer
// can open, whatever the host's name holds.
#include "plot_render.h"

#include <QImage>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

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

} // namespace

class TestPlotRender : public QObject {
    Q_OBJECT
private slots:
    void ticks_data();
    void ticks();
    void png_data();
    void png();
    void svgIsWellFormed();
    void emptyRunStillDraws();
    void unwritablePath();
};

void TestPlotRender::ticks_data()
{
    QTest::addColumn<double>("low");
    QTest::addColumn<double>("high");
    QTest::addColumn<int>("wanted");
    QTest::addColumn<QList<double>>("ticks");
    QTest::newRow("0 to 10 in about 5") << 0.0 << 10.0 << 5 << QList<double>{0, 2, 4, 6, 8, 10};
    QTest::newRow("steps of 5") << 0.0 << 23.0 << 5 << QList<double>{0, 5, 10, 15, 20};
    QTest::newRow("fractions of a millisecond") << 4.93 << 5.21 << 4 << QList<double>{5.0, 5.1, 5.2};
    QTest::newRow("an empty range gives none") << 3.0 << 3.0 << 5 << QList<double>{};
}

void TestPlotRender::ticks()
{
    QFETCH(double, low);
    QFETCH(double, high);
    QFETCH(int, wanted);
    QFETCH(QList<double>, ticks);
    const QVector<double> got = axisTicks(low, high, wanted);
    QCOMPARE(got.size(), ticks.size());
    for (int i = 0; i < got.size(); ++i)
        QVERIFY2(qFuzzyCompare(got[i], ticks[i]), qPrintable(QString::number(got[i])));
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
}

void TestPlotRender::emptyRunStillDraws()
{
    QTemporaryDir dir;
    PlotInput input;
    input.title = QStringLiteral("nothing answered");
    QString error;
    QVERIFY2(writePlot(dir.filePath("empty.png"), QSize(640, 480), input, &error), qPrintable(error));
    QCOMPARE(QImage(dir.filePath("empty.png")).size(), QSize(640, 480));
}

void TestPlotRender::unwritablePath()
{
    QString error;
    QVERIFY(!writePlot(QStringLiteral("/nonexistent-directory-of-the-probe/plot.svg"), QSize(640, 480),
                       sampleInput("h"), &error));
    QVERIFY(!error.isEmpty());
}

QTEST_MAIN(TestPlotRender)
#include "tst_plot_render.moc"
