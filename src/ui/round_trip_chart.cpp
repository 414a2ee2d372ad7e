// SPDX-License-Identifier: GPL-3.0-or-later
// The live chart: its repaints paced, its picture and its files drawn from
// the bins and the histogram alone, by the report layer's plot.
#include "ui/round_trip_chart.h"

#include "report/plot_render.h"
#include "report/svg_page.h"
#include "session/latency_histogram.h"
#include "session/time_bins.h"

#include <QFileInfo>
#include <QFontInfo>
#include <QPainter>

#include <algorithm>

namespace {

// The time axis of a chart with no bins to show: a minute, as a live
// window's is.
constexpr qint64 kEmptySpanNs = 60'000'000'000;
constexpr int kMinExportWidth = 400;
constexpr int kMinExportHeight = 300;
constexpr int kMaxExportSide = 8000;

// Copies of the bins' figures and of the histogram: as costly for a session
// of a billion replies as for one of ten.
PlotInput plotInput(const TimeBins* recent, const LatencyHistogram* distribution)
{
    PlotInput input;
    if (recent) {
        input.bins = recent->bins();
        input.binWidthNs = recent->widthNs();
        input.fromNs = recent->windowStartNs();
        input.durationNs = recent->windowEndNs();
    } else {
        input.durationNs = kEmptySpanNs;
    }
    if (distribution)
        input.distribution = *distribution;
    return input;
}

QString msText(qint64 ns)
{
    const double ms = double(ns) / 1e6;
    return QString::number(ms, 'f', ms < 10 ? 3 : ms < 100 ? 2 : 1);
}

} // namespace

RoundTripChart::RoundTripChart(QWidget* parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("chartRoundTrip"));
    // The plot paints its whole white page: nothing to clear beneath it.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    m_repaint.setSingleShot(true);
    // A coarse timer may fire late by a good part of its interval.
    m_repaint.setTimerType(Qt::PreciseTimer);
    connect(&m_repaint, &QTimer::timeout, this, &RoundTripChart::repaintNow);
}

RoundTripChart::~RoundTripChart() = default;

void RoundTripChart::setSources(const TimeBins* recent, const LatencyHistogram* distribution)
{
    m_recent = recent;
    m_distribution = distribution;
    dataChanged();
}

void RoundTripChart::dataChanged()
{
    // One repaint is due already, and it draws whatever is there by then.
    if (m_repaint.isActive())
        return;
    // After a quiet spell at once; while changes keep coming, one period
    // after the last repaint, so that a steady stream still moves the chart.
    const qint64 since = m_sinceRepaint.isValid() ? m_sinceRepaint.elapsed() : kRepaintMs;
    m_repaint.start(int(std::clamp<qint64>(kRepaintMs - since, 0, kRepaintMs)));
}

void RoundTripChart::clear()
{
    m_repaint.stop();
    m_recent = nullptr;
    m_distribution = nullptr;
    repaintNow();
}

void RoundTripChart::repaintNow()
{
    m_sinceRepaint.start();
    update();
}

bool RoundTripChart::exportTo(const QString& path, QSize size, QString* error) const
{
    auto fail = [&](const QString& why) {
        *error = QStringLiteral("%1: %2").arg(path, why);
        return false;
    };
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == QLatin1String("svg") && !svgPagesBuilt())
        return fail(QStringLiteral("this build writes PNG only; give the file a .png name"));
    if (suffix != QLatin1String("png") && suffix != QLatin1String("svg"))
        return fail(svgPagesBuilt() ? QStringLiteral("give the file a .png or .svg name")
                                    : QStringLiteral("give the file a .png name"));
    // The probe's limits: smaller leaves no room for the panels, larger
    // would ask for an image of gigabytes.
    if (size.width() < kMinExportWidth || size.height() < kMinExportHeight || size.width() > kMaxExportSide
        || size.height() > kMaxExportSide)
        return fail(QStringLiteral("a chart is from %1x%2 to %3x%3 pixels, not %4x%5")
                        .arg(kMinExportWidth)
                        .arg(kMinExportHeight)
                        .arg(kMaxExportSide)
                        .arg(size.width())
                        .arg(size.height()));
    PlotInput input = plotInput(m_recent, m_distribution);
    input.title = m_recent && m_recent->sliding()
        ? QStringLiteral("Round trip over the last %1 s")
              .arg(double(m_recent->windowEndNs() - m_recent->windowStartNs()) / 1e9)
        : QStringLiteral("Round trip");
    quint64 replies = 0;
    quint64 lost = 0;
    for (const TimeBins::Bin& bin : input.bins) {
        replies += bin.replies;
        lost += bin.lost;
    }
    input.subtitle = QStringLiteral("%1 replies and %2 lost in that time").arg(replies).arg(lost);
    if (const LatencyHistogram& all = input.distribution; all.count())
        input.subtitle += QStringLiteral("; distribution of %1: p50 %2 ms, p99 %3 ms, max %4 ms")
                              .arg(QString::number(all.count()), msText(all.percentile(50)),
                                   msText(all.percentile(99)), msText(all.max()));
    QString why;
    return writePlot(path, size, input, &why) || fail(why);
}

QSize RoundTripChart::minimumSizeHint() const
{
    return QSize(360, 220);
}

QSize RoundTripChart::sizeHint() const
{
    return QSize(640, 400);
}

void RoundTripChart::paintEvent(QPaintEvent*)
{
    // The window's own text size where there is room for it; smaller, down
    // to the plot's smallest, in a small pane.
    const qreal fontPx = std::clamp(std::min(height() / 26.0, width() / 48.0), 9.0,
                                    std::max(9.0, qreal(QFontInfo(font()).pixelSize())));
    QPainter painter(this);
    drawPlot(painter, rect(), plotInput(m_recent, m_distribution), fontPx);
}
