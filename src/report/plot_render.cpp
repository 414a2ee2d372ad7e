// SPDX-License-Identifier: GPL-3.0-or-later
// Time bins; laying out and drawing the two panels of the plot; writing the file.
#include "plot_render.h"

#include "svg_page.h"

#include <QBuffer>
#include <QFileInfo>
#include <QFontMetricsF>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <QSaveFile>
#include <QStringList>

#include <algorithm>
#include <cmath>

namespace {

const QColor kInk(0x22, 0x22, 0x22);
const QColor kGrid(0xDD, 0xDD, 0xDD);
const QColor kBand(70, 130, 180, 90);
const QColor kMedian(0x1F, 0x4E, 0x8C);
const QColor kBars(0x46, 0x82, 0xB4);
const QColor kLost(0xD0, 0x21, 0x21);
const QColor kClipped(0xE0, 0x7B, 0x00);

const std::pair<double, QColor> kPercentiles[] = {
    {50, QColor(0x2E, 0x8B, 0x57)}, {90, QColor(0xE0, 0x7B, 0x00)}, {99, QColor(0xD0, 0x21, 0x21)}};

constexpr int kDistributionBars = 80;
// A distribution narrower than this many bars is shown centred among empty
// ones, not as one bar across the panel.
constexpr int kFewestBars = 9;

// Where text sits on its anchor, in halves of its width left of it.
enum Align { Left, Centre, Right };

// A value range drawn onto a pixel range.
struct Scale {
    double low = 0;
    double high = 1;
    double from = 0; // pixel of `low`
    double to = 1; // pixel of `high`
    double at(double value) const
    {
        return from + (high > low ? (value - low) / (high - low) : 0.0) * (to - from);
    }
};

QFont plotFont(qreal pixelSize, bool bold = false)
{
    // The package depends on Liberation.
    QFont font;
    font.setFamilies(
        {QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans"), QStringLiteral("Arial")});
    font.setPixelSize(std::max(1, qRound(pixelSize)));
    font.setBold(bold);
    return font;
}

// `at` is on the baseline, `align` of the text's width left of it. Vertical
// text reads upwards and `at` is its baseline middle.
void text(QPainter& p, QPointF at, const QString& text, qreal pixelSize, Align align, const QColor& color,
          bool bold = false, bool vertical = false)
{
    const QFont font = plotFont(pixelSize, bold);
    p.save();
    p.setFont(font);
    p.setPen(color);
    p.translate(at);
    p.rotate(vertical ? -90 : 0);
    p.drawText(QPointF(-QFontMetricsF(font).horizontalAdvance(text) * align / 2, 0), text);
    p.restore();
}

void line(QPainter& p, QPointF from, QPointF to, const QColor& color, qreal width, bool dashed = false)
{
    p.setPen(QPen(color, width, dashed ? Qt::DashLine : Qt::SolidLine, Qt::FlatCap, Qt::RoundJoin));
    p.drawLine(from, to);
}

// Pointing down from the top of `box`, as wide and as tall as it.
void triangle(QPainter& p, const QRectF& box, const QColor& fill)
{
    const QPointF points[] = {box.topLeft(), box.topRight(), QPointF(box.center().x(), box.bottom())};
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawPolygon(points, 3);
}

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

// Ticks, grid and titles; a count axis (`whole`) has whole ticks only.
void axes(QPainter& p, const QRectF& rect, const Scale& x, const Scale& y, int yWanted, bool whole,
          qreal font, const QString& xTitle, const QString& yTitle)
{
    double xStep = 1;
    double yStep = 1;
    for (double v : axisTicks(y.low, y.high, yWanted, &yStep, whole)) {
        const double py = y.at(v);
        line(p, QPointF(rect.left(), py), QPointF(rect.right(), py), kGrid, 1);
        line(p, QPointF(rect.left() - font * 0.4, py), QPointF(rect.left(), py), kInk, 1);
        text(p, QPointF(rect.left() - font * 0.6, py + font * 0.35), tickText(v, yStep), font, Right, kInk);
    }
    for (double v : axisTicks(x.low, x.high, 8, &xStep)) {
        const double px = x.at(v);
        line(p, QPointF(px, rect.bottom()), QPointF(px, rect.bottom() + font * 0.4), kInk, 1);
        text(p, QPointF(px, rect.bottom() + font * 1.45), tickText(v, xStep), font, Centre, kInk);
    }
    text(p, QPointF(font * 1.3, rect.center().y()), yTitle, font, Centre, kInk, false, true);
    text(p, QPointF(rect.center().x(), rect.bottom() + font * 2.8), xTitle, font, Centre, kInk);
    line(p, rect.topLeft(), rect.bottomLeft(), kInk, 1);
    line(p, rect.bottomLeft(), rect.bottomRight(), kInk, 1);
}

// An axis from 0 up to the next whole tick above `top`, so the top line is
// labelled and nothing reaches past it.
Scale upTo(double top, int wanted, double from, double to, bool whole = false)
{
    double step = 1;
    axisTicks(0, top, wanted, &step, whole);
    return Scale{0, std::ceil(top / step - 1e-9) * step, from, to};
}

void timePanel(QPainter& p, const QRectF& rect, qreal font, const PlotInput& input)
{
    const auto& bins = input.bins;
    qint64 endNs = input.durationNs;
    qint64 topNs = 0; // a bin without replies has its figures at 0
    qint64 medianTopNs = 0;
    quint64 lost = 0;
    QVector<TimeBins::Bin> answered;
    for (const TimeBins::Bin& bin : bins) {
        endNs = std::max(endNs, bin.endNs);
        lost += bin.lost;
        topNs = std::max(topNs, bin.maxNs);
        medianTopNs = std::max(medianTopNs, bin.medianNs);
        if (bin.replies)
            answered << bin;
    }
    // A few far outliers would flatten everything else against the axis:
    // past three times the 99.9th percentile the scale stops, and bins
    // reaching beyond are marked at the top.
    const qint64 p999 = input.distribution.percentile(99.9);
    qint64 scaleTopNs = topNs;
    if (input.distribution.count() > 0 && topNs > 3 * p999)
        scaleTopNs = std::max<qint64>(qint64(1.5 * double(p999)), qint64(1.1 * double(medianTopNs)));

    // The time axis in seconds, minutes or hours, by the span it shows.
    const double seconds = double(endNs - input.fromNs) / 1e9;
    const auto [unit, unitName] = seconds > 10 * 3600 ? std::pair(3600.0, "h")
        : seconds > 600                               ? std::pair(60.0, "min")
                                                      : std::pair(1.0, "s");
    const double from = double(input.fromNs) / 1e9 / unit;
    const Scale x{from, std::max(double(endNs) / 1e9 / unit, from + 1e-3), rect.left(), rect.right()};
    const Scale y = upTo(std::max(ms(scaleTopNs), 1e-3), 6, rect.bottom(), rect.top());
    axes(p, rect, x, y, 6, false, font, QStringLiteral("time since start (%1)").arg(QLatin1String(unitName)),
         QStringLiteral("round trip (ms)"));

    auto xOf = [&](qint64 ns) { return x.at(double(ns) / 1e9 / unit); };
    auto yOf = [&](qint64 ns) { return std::max(rect.top(), y.at(ms(ns))); };

    // The median line is broken where replies stopped coming for longer
    // than usual (a loss, a stall), so that it never spans a gap with no data.
    std::vector<qint64> gaps;
    for (qsizetype i = 1; i < answered.size(); ++i)
        gaps.push_back(answered[i].startNs - answered[i - 1].startNs);
    std::nth_element(gaps.begin(), gaps.begin() + qsizetype(gaps.size() / 2), gaps.end());
    const qint64 usualGap = gaps.empty() ? 0 : gaps[gaps.size() / 2];
    QVector<QPointF> medians;
    auto drawMedians = [&] {
        p.setPen(QPen(kMedian, 1.5, Qt::SolidLine, Qt::FlatCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        if (medians.size() > 1)
            p.drawPolyline(medians.constData(), int(medians.size()));
        for (const QPointF& m : medians)
            if (medians.size() == 1 || bins.size() < 120)
                p.fillRect(QRectF(m.x() - 2, m.y() - 2, 4, 4), kMedian);
        medians.clear();
    };
    for (qsizetype i = 0; i < answered.size(); ++i) {
        const TimeBins::Bin& bin = answered[i];
        if (i > 0 && bin.startNs - answered[i - 1].startNs > 2 * usualGap)
            drawMedians();
        const double x0 = xOf(bin.startNs);
        const double x1 = std::max(xOf(bin.endNs), x0 + 2);
        const double top = yOf(bin.maxNs);
        p.fillRect(QRectF(x0, top, x1 - x0, std::max(yOf(bin.minNs), top + 1) - top), kBand);
        if (bin.maxNs > scaleTopNs)
            p.fillRect(QRectF(x0, rect.top(), x1 - x0, 3), kClipped);
        medians.append(QPointF((x0 + x1) / 2, yOf(bin.medianNs)));
    }
    drawMedians();
    const double s = font * 0.4;
    for (const TimeBins::Bin& bin : bins) {
        if (bin.lost)
            triangle(p, QRectF((xOf(bin.startNs) + xOf(bin.endNs)) / 2 - s, rect.top(), 2 * s, 1.6 * s),
                     kLost);
    }

    // The legend, right to left from the panel's right edge, of swatches
    // drawn as a box, a line or a triangle.
    enum Swatch { Box, Line, Triangle };
    const qint64 binNs = input.binWidthNs > 0 ? input.binWidthNs
        : bins.isEmpty()                      ? 0
                                              : bins.first().endNs - bins.first().startNs;
    const QString perBin =
        binNs > 0 ? QStringLiteral("%1 ms").arg(QString::number(ms(binNs), 'g', 4)) : QStringLiteral("bin");
    const std::tuple<bool, QString, QColor, Swatch> legend[] = {
        {lost > 0, QStringLiteral("lost (%1)").arg(lost), kLost, Triangle},
        {scaleTopNs < topNs, QStringLiteral("max beyond the scale"), kClipped, Box},
        {true, QStringLiteral("median"), kMedian, Line},
        {true, QStringLiteral("min to max per %1").arg(perBin), kBand, Box}};
    QPointF at(rect.right(), rect.top() - font * 0.5);
    for (const auto& [shown, label, color, swatch] : legend) {
        if (!shown)
            continue;
        at.rx() -= QFontMetricsF(plotFont(font)).horizontalAdvance(label);
        text(p, at, label, font, Left, kInk);
        at.rx() -= font * 1.6;
        const QRectF box(at.x(), at.y() - font * 0.75, font * 1.2, font * 0.8);
        if (swatch == Box)
            p.fillRect(box, color);
        else if (swatch == Line)
            line(p, QPointF(box.left(), box.center().y()), QPointF(box.right(), box.center().y()), color, 2);
        else
            triangle(p, box.adjusted(box.width() * 0.2, 0, -box.width() * 0.2, 0), color);
        at.rx() -= font * 1.2;
    }
}

void distributionPanel(QPainter& p, const QRectF& rect, qreal font, const LatencyHistogram& rtt)
{
    if (rtt.count() == 0)
        return axes(p, rect, Scale{0, 0}, Scale{0, 0}, 5, true, font, {}, {});
    const DistributionLayout layout = distributionLayout(rtt, rect, font);
    const DistributionBars& bars = layout.bars;
    const double low = ms(bars.lowNs);
    const double high = ms(bars.highNs());
    const Scale x{low, high, rect.left(), rect.right()};
    const Scale y{0, layout.countTop, rect.bottom(), rect.top()};
    axes(p, rect, x, y, 5, true, font, QStringLiteral("round trip (ms)"), QStringLiteral("replies per bar"));
    for (const QRectF& bar : layout.barRects)
        p.fillRect(bar, kBars);

    // Percentile lines, and their labels kept apart however close they are.
    for (const DistributionLayout::Label& label : layout.labels)
        line(p, QPointF(label.x, rect.top()), QPointF(label.x, rect.bottom()), label.color, 1.5, true);
    for (const DistributionLayout::Label& label : layout.labels) {
        p.fillRect(label.box, QColor(255, 255, 255, 200));
        text(p, QPointF(label.box.left(), label.box.bottom() - font * 0.25), label.text, font, Left,
             label.color);
    }

    QStringList outside;
    if (bars.below)
        outside << QStringLiteral("%1 below %2 ms, down to %3 ms")
                       .arg(QString::number(bars.below), msText(low), msText(ms(rtt.min())));
    if (bars.beyond)
        outside << QStringLiteral("%1 beyond %2 ms, up to %3 ms")
                       .arg(QString::number(bars.beyond), msText(high), msText(ms(rtt.max())));
    if (!outside.isEmpty())
        text(p, QPointF(rect.right(), rect.top() - font * 0.5),
             QStringLiteral("not shown: ") + outside.join(QStringLiteral("; ")), font, Right, kInk);
}

// The whole plot, for a painter that is the plot's own (writePlot's) or
// whose state drawPlot keeps.
void paintPlot(QPainter& painter, const QRectF& page, const PlotInput& input, qreal fontPx)
{
    const PlotPanels panels = plotPanels(page, input, fontPx);
    const qreal font = panels.fontPx;
    painter.fillRect(page, Qt::white);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);

    const qreal middle = page.left() + page.width() / 2;
    if (!input.title.isEmpty())
        text(painter, QPointF(middle, page.top() + font * 1.8), input.title, font * 1.3, Centre, kInk, true);
    if (!input.subtitle.isEmpty())
        text(painter, QPointF(middle, page.top() + font * 3.3), input.subtitle, font, Centre, kInk);
    timePanel(painter, panels.time, font, input);
    distributionPanel(painter, panels.distribution, font, input.distribution);
    for (const QRectF& rect : {panels.time, panels.distribution})
        if (input.distribution.count() == 0)
            text(painter, rect.center(), QStringLiteral("no reply passed the checks"), font * 1.2, Centre,
                 kInk);
}

} // namespace

PlotPanels plotPanels(const QRectF& page, const PlotInput& input, qreal fontPx)
{
    const qreal w = page.width();
    const qreal h = page.height();
    PlotPanels panels;
    panels.fontPx = fontPx > 0 ? fontPx : std::clamp(std::min(h / 52.0, w / 70.0), 9.0, 30.0);
    const qreal font = panels.fontPx;
    const qreal left = font * 6.5;
    const qreal width = w - left - font * 2;
    // Below the title and subtitle, or where they would be, the legend.
    const bool titled = !input.title.isEmpty() || !input.subtitle.isEmpty();
    const qreal top = titled ? font * 5.6 : font * 2;
    const qreal axisBelow = font * 3.6; // tick labels and axis title under a panel
    const qreal gap = font * 1.6; // above the second panel, for its note
    const qreal available = std::max(h - top - 2 * axisBelow - gap, 40.0);
    panels.time = QRectF(page.left() + left, page.top() + top, width, available * 0.55);
    panels.distribution =
        QRectF(page.left() + left, panels.time.bottom() + axisBelow + gap, width, available * 0.45);
    return panels;
}

void drawPlot(QPainter& painter, const QRectF& rect, const PlotInput& input, qreal fontPx)
{
    // Moved there rather than laid out there, so that the plot is the same
    // picture wherever it lies, to the pixel, as the probe's file.
    const QRectF page(QPointF(0, 0), rect.size());
    painter.save();
    painter.translate(rect.topLeft());
    painter.setClipRect(page, Qt::IntersectClip);
    paintPlot(painter, page, input, fontPx);
    painter.restore();
}

DistributionLayout distributionLayout(const LatencyHistogram& rtt, const QRectF& rect, qreal font)
{
    DistributionLayout layout;
    if (rtt.count() == 0)
        return layout;
    layout.bars = distributionBars(rtt, kDistributionBars);
    const DistributionBars& bars = layout.bars;
    const double low = ms(bars.lowNs);
    const double high = ms(bars.highNs());
    const Scale x{low, high, rect.left(), rect.right()};

    // The labels first: the rows they take at the top are kept free of bars.
    const qreal gapToLine = font * 0.4;
    QVector<qreal> anchors, widths;
    for (const auto& [percent, color] : kPercentiles) {
        const double v = ms(rtt.percentile(percent));
        if (v < low || v > high)
            continue;
        anchors << x.at(v);
        layout.labels << DistributionLayout::Label{
            QStringLiteral("p%1 %2 ms").arg(percent).arg(msText(v)), color, anchors.last(), {}};
        widths << QFontMetricsF(plotFont(font)).horizontalAdvance(layout.labels.last().text) + 2 * gapToLine;
    }
    const QVector<QRectF> boxes =
        placeLabels(anchors, widths, font * 1.2,
                    QRectF(rect.left(), rect.top() + font * 0.2, rect.width(), rect.height()));
    for (qsizetype i = 0; i < boxes.size(); ++i)
        layout.labels[i].box = boxes[i].adjusted(gapToLine, 0, -gapToLine, 0);

    // The count axis goes on above the tallest bar far enough for every bar
    // beneath a label to end below it; bars beside the labels may rise
    // higher. A panel too short to keep even a quarter of its height below
    // a label gives the bars that quarter.
    auto barX = [&](qsizetype i) { return x.at(ms(bars.lowNs + i * bars.widthNs)); };
    auto barWidth = [&](qsizetype i) { return std::max(barX(i + 1) - barX(i) - 0.5, 1.0); };
    double top = double(std::max<quint64>(*std::max_element(bars.counts.begin(), bars.counts.end()), 1));
    for (const QRectF& box : boxes) {
        const qreal free = std::max(rect.bottom() - box.bottom() - font * 0.2, rect.height() / 4);
        for (qsizetype i = 0; i < bars.counts.size(); ++i) {
            if (bars.counts[i] && barX(i) < box.right() && box.left() < barX(i) + barWidth(i))
                top = std::max(top, double(bars.counts[i]) * rect.height() / free);
        }
    }
    const Scale y = upTo(top, 5, rect.bottom(), rect.top(), true);
    layout.countTop = y.high;
    for (qsizetype i = 0; i < bars.counts.size(); ++i) {
        const double barTop = y.at(double(bars.counts[i]));
        if (bars.counts[i])
            layout.barRects << QRectF(barX(i), barTop, barWidth(i), rect.bottom() - barTop);
    }
    return layout;
}

QVector<double> axisTicks(double low, double high, int wanted, double* step, bool whole)
{
    QVector<double> ticks;
    if (step)
        *step = 1;
    if (!(high > low) || wanted < 1)
        return ticks;
    const double rough = (high - low) / wanted;
    const double power = std::pow(10.0, std::floor(std::log10(rough)));
    double nice = power;
    for (double m : {1.0, 2.0, 5.0, 10.0}) {
        nice = m * power;
        if (nice >= rough)
            break;
    }
    if (whole)
        nice = std::max(nice, 1.0);
    if (step)
        *step = nice;
    for (double v = std::ceil(low / nice - 1e-9) * nice; v <= high + nice * 1e-9 && ticks.size() <= 100;
         v += nice)
        ticks.append(std::round(v / nice) * nice); // whole multiples, without the drift of repeated adding
    return ticks;
}

DistributionBars distributionBars(const LatencyHistogram& rtt, int wanted)
{
    DistributionBars bars;
    if (rtt.count() == 0)
        return bars;
    // The body: between a low and a high percentile (0.1 and 99.9 when there
    // are enough values for them to be more than the extreme few, else 1 and
    // 99), with a margin; the extremes too when they lie within twice that
    // margin, so that a tail is cut only where it runs far beyond the body.
    const bool many = rtt.count() >= 10000;
    const qint64 lowTail = rtt.percentile(many ? 0.1 : 1);
    const qint64 highTail = rtt.percentile(many ? 99.9 : 99);
    const qint64 margin = std::max(highTail - lowTail, highTail / 100) / 4;
    const qint64 low = rtt.min() >= lowTail - 2 * margin ? rtt.min() : lowTail - margin;
    const qint64 high = rtt.max() <= highTail + 2 * margin ? rtt.max() : highTail + margin;
    // Buckets are powers of two wide, and only widen with the value: a bar
    // a whole multiple of the widest shown holds whole buckets only.
    const qint64 bucketNs = rtt.bucketWidth(rtt.bucketOf(high));
    bars.widthNs =
        bucketNs * std::max<qint64>(1, (high - low) / (qint64(std::max(wanted, 1)) * bucketNs) + 1);
    const qint64 first = low / bars.widthNs;
    const qint64 last = high / bars.widthNs;
    std::vector<quint64> counts(size_t(last - first + 1), 0);
    for (int b = 0; b < rtt.bucketCount(); ++b) {
        const qint64 bar = rtt.bucketLow(b) / bars.widthNs;
        if (const quint64 n = rtt.countAt(b))
            (bar < first                   ? bars.below
                 : rtt.bucketLow(b) > high ? bars.beyond
                                           : counts[size_t(bar - first)]) += n;
    }
    // From the first bar that holds anything to the last.
    auto from = std::find_if(counts.begin(), counts.end(), [](quint64 n) { return n > 0; });
    auto to = std::find_if(counts.rbegin(), counts.rend(), [](quint64 n) { return n > 0; }).base();
    bars.lowNs = (first + (from - counts.begin())) * bars.widthNs;
    bars.counts = QVector<quint64>(from, to);
    const qsizetype missing = kFewestBars - bars.counts.size();
    if (missing > 0) {
        const qsizetype before = std::min<qsizetype>(missing / 2, bars.lowNs / bars.widthNs);
        bars.counts = QVector<quint64>(before, 0) + bars.counts + QVector<quint64>(missing - before, 0);
        bars.lowNs -= before * bars.widthNs;
    }
    return bars;
}

QVector<QRectF> placeLabels(const QVector<qreal>& anchors, const QVector<qreal>& widths, qreal height,
                            const QRectF& area)
{
    QVector<QRectF> placed;
    for (int i = 0; i < anchors.size(); ++i) {
        const qreal left = anchors[i] + widths[i] > area.right()
            ? std::max(area.left(), anchors[i] - widths[i])
            : anchors[i];
        QRectF box(left, area.top(), widths[i], height);
        while (std::any_of(placed.begin(), placed.end(),
                           [&](const QRectF& other) { return other.intersects(box); }))
            box.translate(0, height);
        placed << box;
    }
    return placed;
}

bool writePlot(const QString& path, QSize size, const PlotInput& input, QString* error)
{
    auto fail = [error](const QString& why) {
        *error = why;
        return false;
    };
    const bool svg = QFileInfo(path).suffix().compare(QLatin1String("svg"), Qt::CaseInsensitive) == 0;
    auto draw = [&](QPainter& painter) { paintPlot(painter, QRectF(QPointF(0, 0), size), input, 0); };
    QByteArray bytes;
    if (svg) {
        bytes = paintSvgPage(size, draw);
        if (bytes.isEmpty())
            return fail(QStringLiteral("this build draws no SVG"));
    } else {
        QImage image(size, QImage::Format_ARGB32_Premultiplied);
        QPainter painter(&image);
        draw(painter);
        painter.end();
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        if (QImageWriter writer(&buffer, "png"); !writer.write(image))
            return fail(writer.errorString());
    }
    // Written whole or not at all: a failed write leaves no half picture.
    // Unbuffered, so that a short write shows: buffered, a disk that fills
    // up part way is flushed at commit as if all had been written.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return fail(file.errorString());
    for (qint64 done = 0; done < bytes.size();) {
        // The write after a short one fails, and says why.
        const qint64 written = file.write(bytes.constData() + done, bytes.size() - done);
        if (written <= 0) {
            fail(file.errorString());
            file.cancelWriting();
            return false;
        }
        done += written;
    }
    return file.commit() || fail(file.errorString());
}
