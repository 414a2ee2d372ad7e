// SPDX-License-Identifier: GPL-3.0-or-later
// The run's plot: round trip against time (per-bin min–max band, median and
// losses) above the distribution of all round trips with its percentiles,
// drawn once with QPainter onto an image (PNG), an SVG generator or a
// widget; and the layout it is drawn by.
#pragma once

#include "session/latency_histogram.h"
#include "session/time_bins.h"

#include <QColor>
#include <QRectF>
#include <QSize>
#include <QString>
#include <QVector>

class QPainter;

struct PlotInput {
    QString title; // host, protocol and counts; with the subtitle, none leaves no room for them
    QString subtitle; // when, how long, the headline figures
    QVector<TimeBins::Bin> bins;
    qint64 binWidthNs = 0; // for the legend; 0: the first bin's, when there is one
    qint64 fromNs = 0; // the time axis starts here: 0 for a whole run, a live window's start
    qint64 durationNs = 0; // the time axis runs to here at least
    LatencyHistogram distribution; // every round trip that passed the checks
};

// Where the two panels lie within `rect`, and the text size they are drawn
// with: `fontPx`, or when 0 one that grows with `rect` as the probe's files
// have it. Untitled, the plot starts at the time panel's legend.
struct PlotPanels {
    qreal fontPx = 0;
    QRectF time;
    QRectF distribution;
};
PlotPanels plotPanels(const QRectF& rect, const PlotInput& input, qreal fontPx = 0);

// Draws the plot into `rect` on a white ground, whatever `painter` paints
// on; the painter's state is left as it was. Costs the same however many
// round trips went into the bins and the distribution.
void drawPlot(QPainter& painter, const QRectF& rect, const PlotInput& input, qreal fontPx = 0);

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

// The distribution panel laid out in `panel`: its bars, and the percentile
// labels with the count axis raised far enough that no label covers a bar.
struct DistributionLayout {
    struct Label {
        QString text;
        QColor color;
        qreal x = 0; // the percentile's line
        QRectF box; // the label's ground, its text within
    };
    DistributionBars bars;
    QVector<QRectF> barRects; // the bars that hold anything
    double countTop = 1; // the count at the panel's top
    QVector<Label> labels;
};
DistributionLayout distributionLayout(const LatencyHistogram& rtt, const QRectF& panel, qreal fontPx);

// Places labels of `widths` and `height` at the `anchors` (x positions,
// left to right) within `area`: each just right of its anchor, or left of it
// where it would pass the area's right edge, on the top row unless that
// would overlap a label already placed, then on the next row down.
QVector<QRectF> placeLabels(const QVector<qreal>& anchors, const QVector<qreal>& widths, qreal height,
                            const QRectF& area);
