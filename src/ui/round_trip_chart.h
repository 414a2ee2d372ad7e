// SPDX-License-Identifier: GPL-3.0-or-later
// The workbench's live chart: round trip against time over the latest bins,
// above the distribution, drawn by the same code as the probe's plot.
#pragma once

#include <QElapsedTimer>
#include <QSize>
#include <QString>
#include <QTimer>
#include <QWidget>

class LatencyHistogram;
class TimeBins;

class RoundTripChart final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RoundTripChart)
public:
    // However often the data change, repaints come at most this often: a
    // session may add 20,000 replies a second.
    static constexpr int kRepaintMs = 33;

    explicit RoundTripChart(QWidget* parent = nullptr);
    ~RoundTripChart() override;

    // What the chart shows: `recent`, time bins (sliding for a live window,
    // or growing for a whole run), and `distribution`, the round trips'
    // histogram. Both are the caller's and either may be null; the chart
    // reads them only while painting or exporting, so the caller clears
    // them or calls clear() before it destroys them.
    void setSources(const TimeBins* recent, const LatencyHistogram* distribution);
    // The sources changed: a repaint follows within kRepaintMs, one for any
    // number of calls meanwhile.
    void dataChanged();
    // Forgets the sources and shows an empty chart at once.
    void clear();

    // Writes what the chart shows, `size` pixels with a title, to `path` as
    // PNG or SVG by its suffix, through the probe's plot writer: false and
    // why in `error` for another suffix, SVG where this build has no Qt SVG,
    // or a file that cannot be written, which leaves an earlier one whole.
    bool exportTo(const QString& path, QSize size, QString* error) const;

    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void repaintNow();

    const TimeBins* m_recent = nullptr;
    const LatencyHistogram* m_distribution = nullptr;
    QTimer m_repaint;
    QElapsedTimer m_sinceRepaint;
};
