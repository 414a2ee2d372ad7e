// SPDX-License-Identifier: GPL-3.0-or-later
// The progress line on a terminal's stderr during a run with a count or a
// deadline: done so far, rate, lost so far, redrawn in place. Never written
// to a pipe or a file.
#pragma once

#include <QObject>
#include <QString>

#include <functional>

class QTimer;

class ProgressLine : public QObject {
    Q_OBJECT
public:
    // `enabled` says whether stderr is a terminal and the run has a bound.
    ProgressLine(bool enabled, qint64 count, qint64 deadlineMs, QObject* parent = nullptr);

    bool enabled() const { return m_enabled; }
    struct Snapshot {
        quint64 sent = 0;
        quint64 lost = 0;
        qint64 elapsedNs = 0;
    };
    // Starts redrawing a few times a second from what `source` tells.
    void start(std::function<Snapshot()> source);
    // Wipes the line, so that other output starts on a clean line.
    void clear();
    // Stops and wipes it for good.
    void stop();

    // The text shown, e.g. "1200/5000 sent  812.4 req/s  3 lost (0.25%)".
    static QString text(quint64 sent, quint64 lost, qint64 elapsedNs, qint64 count, qint64 deadlineMs);

private:
    void draw();

    bool m_enabled;
    qint64 m_count;
    qint64 m_deadlineMs;
    QTimer* m_timer = nullptr;
    bool m_shown = false;
    std::function<Snapshot()> m_source;
};
