// SPDX-License-Identifier: GPL-3.0-or-later
// The round-trip histogram: percentiles within their stated error of the
// exact ones, exact extremes and moments, merging, and the time bins built
// on it for the plot.
#include "session/latency_histogram.h"
#include "session/time_bins.h"

#include <QtTest>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace {

// Nearest rank on the sorted values: what the histogram approximates.
qint64 exactPercentile(const std::vector<qint64>& sorted, double percent)
{
    const double exact = percent / 100.0 * double(sorted.size());
    const size_t rank = std::max<size_t>(1, size_t(std::ceil(exact - exact * 1e-12)));
    return sorted[rank - 1];
}

std::vector<qint64> makeValues(const QString& shape)
{
    std::mt19937_64 random(20240611);
    std::vector<qint64> values;
    if (shape == "uniform 1 us to 10 ms") {
        std::uniform_int_distribution<qint64> d(1'000, 10'000'000);
        for (int i = 0; i < 100'000; ++i)
            values.push_back(d(random));
    } else if (shape == "5 ms with 30 us of jitter") {
        std::normal_distribution<double> d(5e6, 3e4);
        for (int i = 0; i < 100'000; ++i)
            values.push_back(qint64(d(random)));
    } else if (shape == "long exponential tail") {
        std::exponential_distribution<double> d(1.0 / 2e5);
        for (int i = 0; i < 100'000; ++i)
            values.push_back(50'000 + qint64(d(random)));
    } else if (shape == "two modes, 0.1 ms and 50 ms") {
        std::normal_distribution<double> fast(1e5, 2e3);
        std::normal_distribution<double> slow(5e7, 1e5);
        for (int i = 0; i < 50'000; ++i)
            values.push_back(qint64(i % 10 == 0 ? slow(random) : fast(random)));
    } else if (shape == "every power of two and its neighbours") {
        for (int e = 1; e < 40; ++e) {
            for (qint64 d : {-1, 0, 1})
                values.push_back((qint64{1} << e) + d);
        }
    } else if (shape == "1 to 1000 us, once each") {
        for (int i = 1; i <= 1000; ++i)
            values.push_back(qint64(i) * 1000);
    }
    return values;
}

} // namespace

class TestLatencyHistogram : public QObject {
    Q_OBJECT
private slots:
    void percentiles_data();
    void percentiles();
    void bucketsCoverTheirValues_data();
    void bucketsCoverTheirValues();
    void extremesAndMoments();
    void beyondTheTopBucket();
    void mergeEqualsRecordingBoth();
    void empty();
    void timeBinsKeepEveryCountInFixedSpace();
    void timeBinsFigures();
};

void TestLatencyHistogram::percentiles_data()
{
    QTest::addColumn<QString>("shape");
    QTest::addColumn<int>("bits");
    QTest::addColumn<double>("bound"); // relative error allowed
    for (const char* shape : {"uniform 1 us to 10 ms", "5 ms with 30 us of jitter", "long exponential tail",
                              "two modes, 0.1 ms and 50 ms", "every power of two and its neighbours",
                              "1 to 1000 us, once each"}) {
        QTest::addRow("%s, 8 bits, under 0.4 %%", shape) << QString(shape) << 8 << 1.0 / 256;
        QTest::addRow("%s, 10 bits, under 0.1 %%", shape) << QString(shape) << 10 << 1.0 / 1024;
    }
}

void TestLatencyHistogram::percentiles()
{
    QFETCH(QString, shape);
    QFETCH(int, bits);
    QFETCH(double, bound);
    std::vector<qint64> values = makeValues(shape);
    LatencyHistogram histogram(bits);
    for (qint64 v : values)
        histogram.record(v);
    std::sort(values.begin(), values.end());
    for (double p : {0.0, 1.0, 10.0, 50.0, 90.0, 99.0, 99.9, 99.99, 100.0}) {
        const qint64 exact = exactPercentile(values, p);
        const qint64 got = histogram.percentile(p);
        const double error = std::abs(double(got - exact)) / double(std::max<qint64>(exact, 1));
        if (error > bound)
            QFAIL(qPrintable(QStringLiteral("p%1: %2 ns for %3 ns").arg(p).arg(got).arg(exact)));
    }
}

void TestLatencyHistogram::bucketsCoverTheirValues_data()
{
    QTest::addColumn<int>("bits");
    QTest::newRow("8 bits") << 8;
    QTest::newRow("10 bits") << 10;
    QTest::newRow("5 bits, as the plot's bins use") << 5;
}

void TestLatencyHistogram::bucketsCoverTheirValues()
{
    QFETCH(int, bits);
    const LatencyHistogram histogram(bits);
    const double widest = 2.0 / double(1 << bits);
    std::vector<qint64> probes;
    for (int e = 0; e < 42; ++e) {
        for (qint64 d : {-3, -1, 0, 1, 5})
            probes.push_back(std::max<qint64>(0, (qint64{1} << e) + d));
    }
    for (qint64 v = 0; v < 5000; ++v)
        probes.push_back(v);
    int previous = -1;
    qint64 previousValue = -1;
    for (qint64 v : probes) {
        const int b = histogram.bucketOf(v);
        QVERIFY(b >= 0 && b < histogram.bucketCount());
        const qint64 low = histogram.bucketLow(b);
        const qint64 width = histogram.bucketWidth(b);
        if (!(low <= v && v < low + width))
            QFAIL(
                qPrintable(QStringLiteral("%1 in bucket %2 = [%3, +%4)").arg(v).arg(b).arg(low).arg(width)));
        QVERIFY(double(width) <= std::max(1.0, widest * double(low)));
        // Larger values never fall into earlier buckets.
        if (v > previousValue)
            QVERIFY(b >= previous);
        previous = b;
        previousValue = v;
    }
}

void TestLatencyHistogram::extremesAndMoments()
{
    LatencyHistogram histogram;
    const std::vector<qint64> values{5'000'000, 5'000'100, 4'999'900, 5'000'050, 12'345'678};
    for (qint64 v : values)
        histogram.record(v);
    double mean = 0;
    for (qint64 v : values)
        mean += double(v) / double(values.size());
    double squares = 0;
    for (qint64 v : values)
        squares += (double(v) - mean) * (double(v) - mean);
    QCOMPARE(histogram.count(), quint64(5));
    QCOMPARE(histogram.min(), qint64(4'999'900));
    QCOMPARE(histogram.max(), qint64(12'345'678));
    QCOMPARE(histogram.mean(), mean);
    QVERIFY(std::abs(histogram.stddev() - std::sqrt(squares / 5)) < 1e-6);
    // The extremes are the values themselves, not their buckets' middles.
    QCOMPARE(histogram.percentile(0), qint64(4'999'900));
    QCOMPARE(histogram.percentile(100), qint64(12'345'678));
}

void TestLatencyHistogram::beyondTheTopBucket()
{
    LatencyHistogram histogram(8, 20); // top bucket from about 1 ms
    histogram.record(100);
    histogram.record(5'000'000'000);
    QCOMPARE(histogram.max(), qint64(5'000'000'000));
    QCOMPARE(histogram.percentile(100), qint64(5'000'000'000));
    QVERIFY(histogram.percentile(50) == 100);
}

void TestLatencyHistogram::mergeEqualsRecordingBoth()
{
    std::mt19937_64 random(7);
    std::uniform_int_distribution<qint64> fast(10'000, 90'000);
    std::uniform_int_distribution<qint64> slow(4'000'000, 9'000'000);
    LatencyHistogram a, b, both;
    for (int i = 0; i < 20'000; ++i) {
        const qint64 x = fast(random);
        const qint64 y = slow(random);
        a.record(x);
        b.record(y);
        both.record(x);
        both.record(y);
    }
    a.merge(b);
    QCOMPARE(a.count(), both.count());
    QCOMPARE(a.min(), both.min());
    QCOMPARE(a.max(), both.max());
    QVERIFY(std::abs(a.mean() - both.mean()) < 1e-6 * both.mean());
    QVERIFY(std::abs(a.stddev() - both.stddev()) < 1e-6 * both.stddev());
    for (double p : {1.0, 50.0, 99.0})
        QCOMPARE(a.percentile(p), both.percentile(p));
}

void TestLatencyHistogram::empty()
{
    LatencyHistogram histogram;
    QCOMPARE(histogram.count(), quint64(0));
    QCOMPARE(histogram.percentile(50), qint64(0));
    QCOMPARE(histogram.min(), qint64(0));
    QCOMPARE(histogram.stddev(), 0.0);
    LatencyHistogram other;
    other.record(42);
    histogram.merge(other);
    QCOMPARE(histogram.min(), qint64(42));
    QCOMPARE(histogram.max(), qint64(42));
}

void TestLatencyHistogram::timeBinsKeepEveryCountInFixedSpace()
{
    TimeBins bins(100, 1'000'000); // 100 bins of 1 ms to start with
    quint64 replies = 0;
    quint64 lost = 0;
    // An hour at one request every 3.6 ms: the bins widen again and again.
    for (qint64 i = 0; i < 1'000'000; ++i) {
        const qint64 at = i * 3'600'000;
        if (i % 1000 == 999) {
            bins.addLost(at);
            ++lost;
        } else {
            bins.addReply(at, 1'000'000 + i % 1000);
            ++replies;
        }
    }
    const QVector<TimeBins::Bin> list = bins.bins();
    QVERIFY(list.size() <= 100);
    QVERIFY(list.size() >= 50);
    quint64 seenReplies = 0;
    quint64 seenLost = 0;
    for (const TimeBins::Bin& bin : list) {
        seenReplies += bin.replies;
        seenLost += bin.lost;
        QCOMPARE(bin.endNs - bin.startNs, bins.widthNs());
    }
    QCOMPARE(seenReplies, replies);
    QCOMPARE(seenLost, lost);
    QVERIFY(bins.widthNs() * 100 >= 3'600'000 * 1'000'000LL);
}

void TestLatencyHistogram::timeBinsFigures()
{
    TimeBins bins(10, 1'000'000);
    for (qint64 v : {5'000'000, 1'000'000, 9'000'000})
        bins.addReply(2'500'000, v); // the third millisecond
    bins.addLost(7'100'000);
    const QVector<TimeBins::Bin> list = bins.bins();
    QCOMPARE(list.size(), 2);
    QCOMPARE(list[0].startNs, qint64(2'000'000));
    QCOMPARE(list[0].replies, quint64(3));
    QCOMPARE(list[0].minNs, qint64(1'000'000));
    QCOMPARE(list[0].maxNs, qint64(9'000'000));
    QVERIFY(std::abs(list[0].medianNs - 5'000'000) <= 5'000'000 / 32);
    QCOMPARE(list[1].startNs, qint64(7'000'000));
    QCOMPARE(list[1].lost, quint64(1));
    QCOMPARE(list[1].replies, quint64(0));
    // Beyond the ten bins: they widen to 2 ms and merge in pairs.
    bins.addReply(15'000'000, 1);
    QCOMPARE(bins.widthNs(), qint64(2'000'000));
    QCOMPARE(bins.bins().first().startNs, qint64(2'000'000));
    QCOMPARE(bins.bins().first().replies, quint64(3));
}

QTEST_APPLESS_MAIN(TestLatencyHistogram)
#include "tst_latency_histogram.moc"
