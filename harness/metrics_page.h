// SPDX-License-Identifier: GPL-3.0-or-later
// A page of metrics in the Prometheus text format, as a scraper reads it:
// samples by name and labels, and quantiles from histogram buckets the way
// PromQL's histogram_quantile interpolates them.
#pragma once

#include "http_get.h"

#include <QList>
#include <QMap>
#include <QString>

#include <algorithm>
#include <limits>
#include <optional>

namespace harness {

using MetricLabels = QMap<QString, QString>;

struct MetricSample {
    QString name;
    MetricLabels labels;
    double value = 0;
};

class MetricsPage {
public:
    explicit MetricsPage(const QByteArray& text)
    {
        for (const QByteArray& line : text.split('\n')) {
            if (!line.isEmpty() && !line.startsWith('#'))
                parseLine(QString::fromUtf8(line));
        }
    }

    // GET /metrics; nothing when it cannot be had.
    static std::optional<MetricsPage> fetch(const QString& host, quint16 port)
    {
        const std::optional<HttpReply> reply = httpGet(host, port, "/metrics");
        if (!reply || reply->status != 200)
            return std::nullopt;
        return MetricsPage(reply->body);
    }

    // The samples of `name` whose labels include `labels`.
    QList<MetricSample> samples(const QString& name, const MetricLabels& labels = {}) const
    {
        QList<MetricSample> found;
        for (const MetricSample& sample : m_samples) {
            if (sample.name != name)
                continue;
            bool matches = true;
            for (auto it = labels.begin(); it != labels.end() && matches; ++it)
                matches = sample.labels.value(it.key()) == it.value() && sample.labels.contains(it.key());
            if (matches)
                found << sample;
        }
        return found;
    }

    // The one sample's value; nothing when there is none or several match.
    std::optional<double> value(const QString& name, const MetricLabels& labels = {}) const
    {
        const QList<MetricSample> found = samples(name, labels);
        if (found.size() != 1)
            return std::nullopt;
        return found.front().value;
    }

    // The `q` quantile of a histogram from its cumulative buckets, linear
    // within the bucket it falls in, as histogram_quantile computes it.
    std::optional<double> quantile(double q, const QString& histogram, const MetricLabels& labels) const
    {
        QList<QPair<double, double>> buckets; // upper bound, cumulative count
        for (const MetricSample& sample : samples(histogram + QStringLiteral("_bucket"), labels)) {
            const QString le = sample.labels.value(QStringLiteral("le"));
            buckets.append(
                {le == QLatin1String("+Inf") ? std::numeric_limits<double>::infinity() : le.toDouble(),
                 sample.value});
        }
        std::sort(buckets.begin(), buckets.end());
        if (buckets.isEmpty() || buckets.back().second <= 0)
            return std::nullopt;
        const double rank = q * buckets.back().second;
        double lower = 0;
        double below = 0;
        for (const auto& [bound, count] : buckets) {
            if (count >= rank) {
                if (bound == std::numeric_limits<double>::infinity())
                    return lower;
                return lower + (bound - lower) * (rank - below) / (count - below);
            }
            lower = bound;
            below = count;
        }
        return std::nullopt;
    }

private:
    void parseLine(const QString& line)
    {
        MetricSample sample;
        qsizetype i = 0;
        while (i < line.size() && line[i] != u'{' && line[i] != u' ')
            ++i;
        sample.name = line.left(i);
        if (i < line.size() && line[i] == u'{') {
            ++i;
            while (i < line.size() && line[i] != u'}') {
                const qsizetype equals = line.indexOf(u'=', i);
                if (equals < 0 || equals + 1 >= line.size() || line[equals + 1] != u'"')
                    return;
                const QString key = line.mid(i, equals - i);
                QString value;
                qsizetype j = equals + 2;
                for (; j < line.size() && line[j] != u'"'; ++j) {
                    if (line[j] == u'\\' && j + 1 < line.size()) {
                        ++j;
                        value += line[j] == u'n' ? QChar(u'\n') : line[j];
                    } else {
                        value += line[j];
                    }
                }
                sample.labels.insert(key, value);
                i = j + 1;
                if (i < line.size() && line[i] == u',')
                    ++i;
            }
            ++i;
        }
        const QStringList rest = line.mid(i).trimmed().split(u' ');
        bool ok = false;
        sample.value = rest.value(0).toDouble(&ok);
        if (ok)
            m_samples << sample;
    }

    QList<MetricSample> m_samples;
};

} // namespace harness
