// SPDX-License-Identifier: GPL-3.0-or-later
// Log buckets with linear sub-buckets, and the running moments beside them.
#include "session/latency_histogram.h"

#include <algorithm>
#include <cmath>

LatencyHistogram::LatencyHistogram(int bits, int maxExponent)
    : m_bits(std::clamp(bits, 2, 20))
    , m_maxExponent(std::clamp(maxExponent, m_bits + 1, 62))
    , m_counts((size_t{1} << m_bits) + size_t(m_maxExponent - m_bits) * (size_t{1} << (m_bits - 1)), 0)
{
}

int LatencyHistogram::bucketOf(qint64 ns) const
{
    const quint64 top = (quint64{1} << m_maxExponent) - 1;
    const quint64 v = std::min<quint64>(static_cast<quint64>(std::max<qint64>(ns, 0)), top);
    const quint64 linear = quint64{1} << m_bits;
    if (v < linear)
        return static_cast<int>(v);
    // Position of the highest set bit: the power of two the value lies in.
    int exponent = 63;
    while (!(v >> exponent))
        --exponent;
    const int shift = exponent - m_bits + 1;
    const quint64 half = linear >> 1;
    return static_cast<int>(linear + quint64(exponent - m_bits) * half + ((v >> shift) - half));
}

qint64 LatencyHistogram::bucketLow(int bucket) const
{
    const qint64 linear = qint64{1} << m_bits;
    if (bucket < linear)
        return bucket;
    const qint64 half = linear >> 1;
    const qint64 j = bucket - linear;
    const int shift = static_cast<int>(j / half) + 1;
    return (half + j % half) << shift;
}

qint64 LatencyHistogram::bucketWidth(int bucket) const
{
    const qint64 linear = qint64{1} << m_bits;
    if (bucket < linear)
        return 1;
    const qint64 half = linear >> 1;
    return qint64{1} << ((bucket - linear) / half + 1);
}

void LatencyHistogram::record(qint64 ns)
{
    ns = std::max<qint64>(ns, 0);
    ++m_counts[static_cast<size_t>(bucketOf(ns))];
    if (m_count == 0 || ns < m_min)
        m_min = ns;
    if (m_count == 0 || ns > m_max)
        m_max = ns;
    ++m_count;
    const double delta = double(ns) - m_mean;
    m_mean += delta / double(m_count);
    m_m2 += delta * (double(ns) - m_mean);
}

void LatencyHistogram::merge(const LatencyHistogram& other)
{
    if (other.m_count == 0 || other.m_counts.size() != m_counts.size())
        return;
    for (size_t i = 0; i < m_counts.size(); ++i)
        m_counts[i] += other.m_counts[i];
    m_min = m_count ? std::min(m_min, other.m_min) : other.m_min;
    m_max = m_count ? std::max(m_max, other.m_max) : other.m_max;
    // Combined moments of two groups (Chan et al.).
    const double n1 = double(m_count);
    const double n2 = double(other.m_count);
    const double n = n1 + n2;
    const double delta = other.m_mean - m_mean;
    m_mean += delta * n2 / n;
    m_m2 += other.m_m2 + delta * delta * n1 * n2 / n;
    m_count += other.m_count;
}

double LatencyHistogram::stddev() const
{
    if (m_count < 2)
        return 0;
    return std::sqrt(std::max(0.0, m_m2 / double(m_count)));
}

qint64 LatencyHistogram::percentile(double percent) const
{
    if (m_count == 0)
        return 0;
    const double p = std::clamp(percent, 0.0, 100.0);
    // Nearest rank: the smallest value with at least p % of all at or below it.
    // The tolerance keeps 99.9 % of 1000 at rank 999, where binary fractions
    // would give 999.0000000000001.
    const double exact = p / 100.0 * double(m_count);
    const quint64 rank = std::max<quint64>(1, static_cast<quint64>(std::ceil(exact - exact * 1e-12)));
    // The largest value is known exactly, and so is anything in the top
    // bucket, whose middle means nothing.
    if (rank >= m_count)
        return m_max;
    quint64 seen = 0;
    for (size_t i = 0; i < m_counts.size(); ++i) {
        seen += m_counts[i];
        if (seen >= rank) {
            if (i + 1 == m_counts.size())
                return m_max;
            const int bucket = static_cast<int>(i);
            const qint64 middle = bucketLow(bucket) + (bucketWidth(bucket) - 1) / 2;
            return std::clamp(middle, m_min, m_max);
        }
    }
    return m_max;
}

void LatencyHistogram::reset()
{
    std::fill(m_counts.begin(), m_counts.end(), 0);
    m_count = 0;
    m_min = m_max = 0;
    m_mean = m_m2 = 0;
}
