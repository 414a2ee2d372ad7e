// SPDX-License-Identifier: GPL-3.0-or-later
// Lays out and draws the two panels of the plot, and writes the file.
#include "plot_render.h"

#include <QBuffer>
#include <QFileInfo>
#include <QImageWriter>
#include <QSaveFile>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

const QColor kInk(0x22, 0x22, 0x22);
const QColor kGrid(0xDD, 0xDD, 0xDD);
const QColor kBand(70, 130, 180, 90);
const QColor kMedian(0x1F, 0x4E, 0x8C);
const QColor kBars(0x46, 0x82, 0xB4);
const QColor kLost(0xD0, 0x21, 0x21);
const QColor kClipped(0xE0, 0x7B, 0x00);
const QColor kPercentiles[] = {QColor(0x2E, 0x8B, 0x57), QColor(0xE0, 0x7B, 0x00), QColor(0xD0, 0x21, 0x21)};

constexpr int kDistributionBars = 80;

using Align = PlotCanvas::Align;

// A value range drawn onto a pixel range.
struct Scale {
    double low = 0;
    double high = 1;
    double from = 0; // pixel of `low`
    double to = 1; // pixel of `high`
    double at(double value) const
    {
        const double t = high > low ? (value - low) / (high - low) : 0.0;
        return from + t * (to - from);
    }
};

QString tickText(double value, double step)
{
    const int decimals = step >= 1 ? 0 : std::min(6, int(std::ceil(-std::log10(step) - 1e-9)));
    return QString::number(value, 'f', decimals);
}

double ms(qint64 ns)
{
    return double(ns) / 1e6;
}

QString msText(double value)
{
    return QString::number(value, 'f', value < 10 ? 3 : value < 100 ? 2 : 1);
}

// Time axis unit for a run of `seconds`: seconds, minutes or hours.
struct TimeUnit {
    double seconds;
    const char* name;
};

TimeUnit timeUnit(double seconds)
{
    if (seconds > 10 * 3600)
        return {3600, "h"};
    if (seconds > 600)
        return {60, "min"};
    return {1, "s"};
}

void frame(PlotCanvas& canvas, const QRectF& rect)
{
    canvas.line(rect.topLeft(), rect.bottomLeft(), kInk, 1);
    canvas.line(rect.bottomLeft(), rect.bottomRight(), kInk, 1);
}

void yAxis(PlotCanvas& canvas, const QRectF& rect, const Scale& y, const QVector<double>& ticks, double step,
           qreal font, const QString& title)
{
    for (double v : ticks) {
        const double py = y.at(v);
        canvas.line(QPointF(rect.left(), py), QPointF(rect.right(), py), kGrid, 1);
        canvas.line(QPointF(rect.left() - font * 0.4, py), QPointF(rect.left(), py), kInk, 1);
        canvas.text(QPointF(rect.left() - font * 0.6, py + font * 0.35), tickText(v, step), font,
                    Align::Right, kInk);
    }
    canvas.text(QPointF(font * 1.3, rect.center().y()), title, font, Align::Center, kInk, false, true);
}

void xAxis(PlotCanvas& canvas, const QRectF& rect, const Scale& x, const QVector<double>& ticks, double step,
           qreal font, const QString& title)
{
    for (double v : ticks) {
        const double px = x.at(v);
        canvas.line(QPointF(px, rect.bottom()), QPointF(px, rect.bottom() + font * 0.4), kInk, 1);
        canvas.text(QPointF(px, rect.bottom() + font * 1.45), tickText(v, step), font, Align::Center, kInk);
    }
    canvas.text(QPointF(rect.center().x(), rect.bottom() + font * 2.8), title, font, Align::Center, kInk);
}

void legendSwatch(PlotCanvas& canvas, QPointF& at, qreal font, const QString& label, const QColor& color,
                  int kind)
{
    // Drawn right to left from the panel's right edge.
    const qreal textWidth = label.size() * font * 0.52;
    at.rx() -= textWidth;
    canvas.text(at, label, font, Align::Left, kInk);
    at.rx() -= font * 1.6;
    const QRectF box(at.x(), at.y() - font * 0.75, font * 1.2, font * 0.8);
    if (kind == 0) {
        canvas.fillRect(box, color);
    } else if (kind == 1) {
        canvas.line(QPointF(box.left(), box.center().y()), QPointF(box.right(), box.center().y()), color, 2);
    } else {
        canvas.polygon({QPointF(box.left() + box.width() * 0.2, box.top()),
                        QPointF(box.right() - box.width() * 0.2, box.top()),
                        QPointF(box.center().x(), box.bottom())},
                       color);
    }
    at.rx() -= font * 1.2;
}

void timePanel(PlotCanvas& canvas, const QRectF& rect, qreal font, const PlotInput& input)
{
    const auto& bins = input.bins;
    qint64 endNs = input.durationNs;
    qint64 topNs = 0;
    qint64 medianTopNs = 0;
    quint64 lost = 0;
    for (const TimeBins::Bin& bin : bins) {
        endNs = std::max(endNs, bin.endNs);
        lost += bin.lost;
        if (bin.replies) {
            topNs = std::max(topNs, bin.maxNs);
            medianTopNs = std::max(medianTopNs, bin.medianNs);
        }
    }
    // A few far outliers would flatten everything else against the axis:
    // past three times the 99.9th percentile the scale stops, and bins
    // reaching beyond are marked at the top.
    const qint64 p999 = input.distribution.percentile(99.9);
    qint64 scaleTopNs = topNs;
    if (input.distribution.count() > 0 && topNs > 3 * p999)
        scaleTopNs = std::max<qint64>(qint64(1.5 * double(p999)), qint64(1.1 * double(medianTopNs)));
    const bool clipped = scaleTopNs < topNs;

    const TimeUnit unit = timeUnit(double(endNs) / 1e9);
    double xStep = 1;
    const double xHigh = std::max(double(endNs) / 1e9 / unit.seconds, 1e-3);
    const QVector<double> xTicks = axisTicks(0, xHigh, 8, &xStep);
    const Scale x{0, xHigh, rect.left(), rect.right()};

    double yStep = 1;
    axisTicks(0, std::max(ms(scaleTopNs), 1e-3), 6, &yStep);
    // Up to the next whole tick, so the top line is labelled.
    const double yHigh = std::ceil(std::max(ms(scaleTopNs), 1e-3) / yStep - 1e-9) * yStep;
    const QVector<double> yTicks = axisTicks(0, yHigh, 6, &yStep);
    const Scale y{0, yHigh, rect.bottom(), rect.top()};

    yAxis(canvas, rect, y, yTicks, yStep, font, QStringLiteral("round trip (ms)"));
    xAxis(canvas, rect, x, xTicks, xStep, font,
          QStringLiteral("time since start (%1)").arg(QLatin1String(unit.name)));

    auto xOf = [&](qint64 ns) { return x.at(double(ns) / 1e9 / unit.seconds); };
    auto yOf = [&](qint64 ns) { return std::max(rect.top(), y.at(ms(ns))); };

    // The median line is broken where replies stopped coming for longer
    // than usual (a loss, a stall), so that it never spans a gap with no data.
    std::vector<qint64> gaps;
    qint64 previousStart = -1;
    for (const TimeBins::Bin& bin : bins) {
        if (!bin.replies)
            continue;
        if (previousStart >= 0)
            gaps.push_back(bin.startNs - previousStart);
        previousStart = bin.startNs;
    }
    qint64 usualGap = 0;
    if (!gaps.empty()) {
        std::nth_element(gaps.begin(), gaps.begin() + gaps.size() / 2, gaps.end());
        usualGap = gaps[gaps.size() / 2];
    }
    QVector<QPointF> medians;
    previousStart = -1;
    auto drawMedians = [&] {
        if (medians.size() > 1)
            canvas.polyline(medians, kMedian, 1.5);
        if (medians.size() == 1 || bins.size() < 120) {
            for (const QPointF& p : medians)
                canvas.fillRect(QRectF(p.x() - 2, p.y() - 2, 4, 4), kMedian);
        }
        medians.clear();
    };
    for (const TimeBins::Bin& bin : bins) {
        if (!bin.replies)
            continue;
        if (previousStart >= 0 && bin.startNs - previousStart > 2 * usualGap)
            drawMedians();
        previousStart = bin.startNs;
        const double x0 = xOf(bin.startNs);
        const double x1 = std::max(xOf(bin.endNs), x0 + 2);
        const double top = yOf(bin.maxNs);
        const double bottom = std::max(yOf(bin.minNs), top + 1);
        canvas.fillRect(QRectF(x0, top, x1 - x0, bottom - top), kBand);
        if (bin.maxNs > scaleTopNs)
            canvas.fillRect(QRectF(x0, rect.top(), x1 - x0, 3), kClipped);
        medians.append(QPointF((x0 + x1) / 2, yOf(bin.medianNs)));
    }
    drawMedians();
    for (const TimeBins::Bin& bin : bins) {
        if (!bin.lost)
            continue;
        const double cx = (xOf(bin.startNs) + xOf(bin.endNs)) / 2;
        const double s = font * 0.4;
        canvas.polygon(
            {QPointF(cx - s, rect.top()), QPointF(cx + s, rect.top()), QPointF(cx, rect.top() + 1.6 * s)},
            kLost);
    }
    frame(canvas, rect);

    if (input.distribution.count() == 0) {
        canvas.text(rect.center(), QStringLiteral("no reply passed the checks"), font * 1.2, Align::Center,
                    kInk);
    }

    QPointF at(rect.right(), rect.top() - font * 0.5);
    if (lost)
        legendSwatch(canvas, at, font, QStringLiteral("lost (%1)").arg(lost), kLost, 2);
    if (clipped)
        legendSwatch(canvas, at, font, QStringLiteral("max beyond the scale"), kClipped, 0);
    legendSwatch(canvas, at, font, QStringLiteral("median"), kMedian, 1);
    const qint64 binNs = bins.isEmpty() ? 0 : bins.first().endNs - bins.first().startNs;
    legendSwatch(canvas, at, font,
                 QStringLiteral("min to max per %1 ms").arg(QString::number(ms(binNs), 'g', 4)), kBand, 0);
}

void distributionPanel(PlotCanvas& canvas, const QRectF& rect, qreal font, const LatencyHistogram& rtt)
{
    frame(canvas, rect);
    if (rtt.count() == 0) {
        canvas.text(rect.center(), QStringLiteral("no reply passed the checks"), font * 1.2, Align::Center,
                    kInk);
        return;
    }
    // The body of the distribution, between a low and a high percentile
    // (0.1 and 99.9 when there are enough values for them to be more than
    // the extreme few, else 1 and 99), with a margin; the extremes only when
    // they lie within it. A few outliers must not squeeze the body into a
    // corner.
    const bool many = rtt.count() >= 10000;
    const double lowTail = ms(rtt.percentile(many ? 0.1 : 1));
    const double highTail = ms(rtt.percentile(many ? 99.9 : 99));
    const double margin = std::max(highTail - lowTail, highTail * 0.01) * 0.25;
    double low = std::max(ms(rtt.min()), lowTail - margin);
    double high = std::min(ms(rtt.max()), highTail + margin);
    if (high - low < 1e-3) {
        low = std::max(0.0, low - 0.01);
        high += 0.01;
    }
    double xStep = 1;
    axisTicks(low, high, 8, &xStep);
    // Widened to whole ticks at both ends.
    low = std::floor(low / xStep) * xStep;
    high = std::ceil(high / xStep - 1e-9) * xStep;
    const QVector<double> xTicks = axisTicks(low, high, 8, &xStep);
    const Scale x{low, high, rect.left(), rect.right()};

    // Each bucket's count is spread over the bars it overlaps, so buckets
    // wider than a bar give a level run of bars rather than a comb.
    std::vector<double> bars(kDistributionBars, 0.0);
    const double barWidth = (high - low) / kDistributionBars;
    quint64 beyond = 0;
    quint64 below = 0;
    for (int b = 0; b < rtt.bucketCount(); ++b) {
        const quint64 n = rtt.countAt(b);
        if (!n)
            continue;
        // The bucket's span, narrowed to the values actually seen.
        const double from = std::max(ms(rtt.bucketLow(b)), ms(rtt.min()));
        const double to = std::min(ms(rtt.bucketLow(b) + rtt.bucketWidth(b)), ms(rtt.max()) + 1e-6);
        if (from >= high) {
            beyond += n;
            continue;
        }
        if (to <= low) {
            below += n;
            continue;
        }
        const double span = std::max(to - from, 1e-9);
        for (int i = std::max(0, int((from - low) / barWidth)); i < kDistributionBars; ++i) {
            const double barLow = low + i * barWidth;
            const double overlap = std::min(to, barLow + barWidth) - std::max(from, barLow);
            if (barLow >= to)
                break;
            if (overlap > 0)
                bars[size_t(i)] += double(n) * overlap / span;
        }
        if (to - from < 1e-9) {
            const int i = std::clamp(int((from - low) / barWidth), 0, kDistributionBars - 1);
            bars[size_t(i)] += double(n);
        }
    }
    const double tallest = std::max(*std::max_element(bars.begin(), bars.end()), 1.0);
    double yStep = 1;
    axisTicks(0, tallest, 5, &yStep);
    yStep = std::max(yStep, 1.0);
    const double yHigh = std::ceil(tallest / yStep - 1e-9) * yStep;
    const QVector<double> yTicks = axisTicks(0, yHigh, 5, &yStep);
    const Scale y{0, yHigh, rect.bottom(), rect.top()};

    yAxis(canvas, rect, y, yTicks, yStep, font, QStringLiteral("replies per bar"));
    xAxis(canvas, rect, x, xTicks, xStep, font, QStringLiteral("round trip (ms)"));

    for (int i = 0; i < kDistributionBars; ++i) {
        if (bars[size_t(i)] <= 0)
            continue;
        const double x0 = x.at(low + i * barWidth);
        const double x1 = x.at(low + (i + 1) * barWidth);
        const double top = y.at(bars[size_t(i)]);
        canvas.fillRect(QRectF(x0, top, std::max(x1 - x0 - 0.5, 1.0), rect.bottom() - top), kBars);
    }

    const double percents[] = {50, 90, 99};
    const char* names[] = {"p50", "p90", "p99"};
    for (int k = 0; k < 3; ++k) {
        const double v = ms(rtt.percentile(percents[k]));
        if (v < low || v > high)
            continue;
        const double px = x.at(v);
        canvas.line(QPointF(px, rect.top()), QPointF(px, rect.bottom()), kPercentiles[k], 1.5, true);
        const bool rightSide = px < rect.right() - font * 8;
        canvas.text(QPointF(px + (rightSide ? font * 0.4 : -font * 0.4), rect.top() + font * (1.2 + 1.2 * k)),
                    QStringLiteral("%1 %2 ms").arg(QLatin1String(names[k]), msText(v)), font,
                    rightSide ? Align::Left : Align::Right, kPercentiles[k]);
    }
    QStringList outside;
    if (below) {
        outside << QStringLiteral("%1 below %2 ms, down to %3 ms")
                       .arg(QString::number(below), msText(low), msText(ms(rtt.min())));
    }
    if (beyond) {
        outside << QStringLiteral("%1 beyond %2 ms, up to %3 ms")
                       .arg(QString::number(beyond), msText(high), msText(ms(rtt.max())));
    }
    if (!outside.isEmpty()) {
        canvas.text(QPointF(rect.right(), rect.top() - font * 0.5),
                    QStringLiteral("not shown: ") + outside.join(QStringLiteral("; ")), font, Align::Right,
                    kInk);
    }
}

} // namespace

QVector<double> axisTicks(double low, double high, int wanted, double* step)
{
    QVector<double> ticks;
    if (!(high > low) || wanted < 1) {
        if (step)
            *step = 1;
        return ticks;
    }
    const double rough = (high - low) / wanted;
    const double power = std::pow(10.0, std::floor(std::log10(rough)));
    double nice = power;
    for (double m : {1.0, 2.0, 5.0, 10.0}) {
        nice = m * power;
        if (nice >= rough)
            break;
    }
    if (step)
        *step = nice;
    const double first = std::ceil(low / nice - 1e-9) * nice;
    for (double v = first; v <= high + nice * 1e-9; v += nice) {
        // Whole multiples of the step, without the drift of repeated adding.
        ticks.append(std::round(v / nice) * nice);
        if (ticks.size() > 100)
            break;
    }
    return ticks;
}

void drawPlot(PlotCanvas& canvas, QSize size, const PlotInput& input)
{
    const qreal w = size.width();
    const qreal h = size.height();
    const qreal font = std::clamp(std::min(h / 52.0, w / 70.0), 9.0, 30.0);

    canvas.text(QPointF(w / 2, font * 1.8), input.title, font * 1.3, Align::Center, kInk, true);
    canvas.text(QPointF(w / 2, font * 3.3), input.subtitle, font, Align::Center, kInk);

    const qreal left = font * 6.5;
    const qreal right = font * 2;
    const qreal top = font * 5.6;
    const qreal axisBelow = font * 3.6; // tick labels and axis title under a panel
    const qreal gap = font * 1.6; // above the second panel, for its note
    const qreal available = std::max(h - top - 2 * axisBelow - gap, 40.0);
    const QRectF timeRect(left, top, w - left - right, available * 0.55);
    const QRectF distributionRect(left, timeRect.bottom() + axisBelow + gap, w - left - right,
                                  available * 0.45);

    timePanel(canvas, timeRect, font, input);
    distributionPanel(canvas, distributionRect, font, input.distribution);
}

bool writePlot(const QString& path, QSize size, const PlotInput& input, QString* error)
{
    const bool svg = QFileInfo(path).suffix().compare(QLatin1String("svg"), Qt::CaseInsensitive) == 0;
    QByteArray bytes;
    if (svg) {
        SvgCanvas canvas(size);
        drawPlot(canvas, size, input);
        bytes = canvas.document();
    } else {
        RasterCanvas canvas(size);
        drawPlot(canvas, size, input);
        canvas.finish();
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, "png");
        if (!writer.write(canvas.image())) {
            *error = writer.errorString();
            return false;
        }
    }
    // Written whole or not at all: a failed write leaves no half picture.
    // Unbuffered, so that a short write shows: buffered, a disk that fills
    // up part way is flushed at commit as if all had been written.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        *error = file.errorString();
        return false;
    }
    for (qint64 done = 0; done < bytes.size();) {
        // The write after a short one fails, and says why.
        const qint64 written = file.write(bytes.constData() + done, bytes.size() - done);
        if (written <= 0) {
            *error = file.errorString();
            file.cancelWriting();
            return false;
        }
        done += written;
    }
    if (!file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}
