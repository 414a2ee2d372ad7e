// SPDX-License-Identifier: GPL-3.0-or-later
// Runs send steps in order, with a fixed gap between the steps of one batch,
// so the pieces of a reply reach the peer as separate reads.
#pragma once

#include <QObject>
#include <QQueue>
#include <QTimer>
#include <functional>

class PacedSender : public QObject {
    Q_OBJECT
public:
    explicit PacedSender(int gapMs, QObject* parent = nullptr);

    // The first step runs at once unless earlier steps still wait; the rest
    // follow gapMs apart. Batches never interleave.
    void send(const QList<std::function<void()>>& steps);
    void clear();

private:
    struct Step {
        std::function<void()> run;
        bool gapBefore;
    };

    void drain(bool gapElapsed);

    int m_gapMs;
    QQueue<Step> m_steps;
    QTimer m_timer;
};
