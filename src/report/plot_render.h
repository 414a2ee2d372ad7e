// SPDX-License-Identifier: GPL-3.0-or-later
// The run's plot: round trip against time (per-bin min–max band, median and
// losses) above the distribution of all round trips with its percentiles,
// drawn once with QPainter onto an image (PNG) or an SVG generator; and the
// time bins it is drawn from.
#pragma once

#include "session/latency_histogram.h"
#include "session/time_bins.h"

#include <QRectF>
#include <QSize>
#include <QString>
#include <QVector>

struct PlotInput {
    QString title; // host, protocol and counts
    QString subtitle; // when, how long, the headline figures
    QVector<TimeBins::Bin> bins;
    qint64 durationNs = 0; // the time axis runs to here at least
    LatencyHistogram distribution; // every round trip that passed the checks
};

// Draws the plot, `size` pixels on a white page, and writes it to `path` as
// PNG or SVG by its suffix; false and `error` when the file cannot be
// written. Needs a QGuiApplication (fonts).
bool writePlot(const QString& path, QSize size, const PlotInput& input, QString* error);

// Tick values for an axis from `low` to `high`: about `wanted` round steps
// of 1, 2 or 5 times a power of ten, never below 1 when `whole`. Sets `step`
// to the spacing.
QVector<double> axisTicks(double low, double high, int wanted, double* step = nullptr, bool whole = false);

// The distribution's bars: about `wanted` of equal width, each holding whole
// histogram buckets, so every bar shows a whole count. They span the body
// of the distribution, from its first value shown to its last; a few far
// outliers are counted below or beyond it instead of squeezing the body.
struct DistributionBars {
    qint64 lowNs = 0; // where the first bar starts
    qint64 widthNs = 1;
    QVector<quint64> counts;
    quint64 below = 0;
    quint64 beyond = 0;
    qint64 highNs() const { return lowNs + widthNs * counts.size(); }
};
DistributionBars distributionBars(const LatencyHistogram& rtt, int wanted);

// Places labels of `widths` and `height` at the `anchors` (x positions,
// left to right) within `area`: each just right of its anchor, or left of it
// where it would pass the area's right edge, on the top row unless that
// would overlap a label already placed, then on the next row down.
QVector<QRectF> placeLabels(const QVector<qreal>& anchors, const QVector<qreal>& widths, qreal height,
                            const QRectF& area);
