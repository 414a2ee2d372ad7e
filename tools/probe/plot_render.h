// SPDX-License-Identifier: GPL-3.0-or-later
// The run's plot: round trip against time (per-bin min–max band, median and
// losses) above the distribution of all round trips with its percentiles.
#pragma once

#include "latency_histogram.h"
#include "plot_canvas.h"
#include "time_bins.h"

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

// Draws the whole plot onto `canvas`, `size` pixels.
void drawPlot(PlotCanvas& canvas, QSize size, const PlotInput& input);

// Writes the plot to `path` as PNG or SVG by its suffix; false and `error`
// when the file cannot be written. PNG needs a QGuiApplication (fonts).
bool writePlot(const QString& path, QSize size, const PlotInput& input, QString* error);

// Tick values for an axis from `low` to `high`: about `wanted` round steps
// of 1, 2 or 5 times a power of ten. Sets `step` to the spacing.
QVector<double> axisTicks(double low, double high, int wanted, double* step = nullptr);
