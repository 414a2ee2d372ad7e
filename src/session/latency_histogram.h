// SPDX-License-Identifier: GPL-3.0-or-later
// Round-trip times in a histogram of fixed size: exact count, extremes, mean
// and standard deviation, and percentiles to within a known relative error,
// however many values go in.
#pragma once

#include <QtGlobal>

#include <vector>

// Values are nanoseconds. Below 2^bits every value has a bucket of its own;
// above, each power of two is cut into 2^(bits-1) equal buckets, so a bucket
// is never wider than 1/2^(bits-1) of the values it holds, and its middle is
// within half that of any of them. With the default 8 bits: buckets at most
// 0.78 % wide, percentiles within 0.4 %. Values from 2^maxExponent on share
// the top bucket (the maximum itself is kept exactly).
class LatencyHistogram {
public:
    explicit LatencyHistogram(int bits = 8, int maxExponent = 42);

    void record(qint64 ns);
    // Adds another histogram's values; both must have the same shape.
    void merge(const LatencyHistogram& other);
    // Empty again, of the same shape.
    void reset();

    quint64 count() const { return m_count; }
    qint64 min() const { return m_count ? m_min : 0; }
    qint64 max() const { return m_count ? m_max : 0; }
    double mean() const { return m_mean; }
    // Population standard deviation; 0 for fewer than two values.
    double stddev() const;
    // The value below which `percent` of the values lie (nearest rank), as
    // the middle of its bucket, within [min, max]; 0 when empty.
    qint64 percentile(double percent) const;

    // The buckets, for drawing the distribution.
    int bucketCount() const { return static_cast<int>(m_counts.size()); }
    quint64 countAt(int bucket) const { return m_counts[static_cast<size_t>(bucket)]; }
    qint64 bucketLow(int bucket) const;
    qint64 bucketWidth(int bucket) const;
    int bucketOf(qint64 ns) const;

private:
    int m_bits;
    int m_maxExponent;
    std::vector<quint64> m_counts;
    quint64 m_count = 0;
    qint64 m_min = 0;
    qint64 m_max = 0;
    // Running mean and sum of squared deviations (Welford), stable over
    // millions of values that differ little.
    double m_mean = 0;
    double m_m2 = 0;
};
