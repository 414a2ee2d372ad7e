// SPDX-License-Identifier: GPL-3.0-or-later
// Ordered, gapped execution of reply send steps.
#include "paced_sender.h"

PacedSender::PacedSender(int gapMs, QObject* parent)
    : QObject(parent)
    , m_gapMs(gapMs)
{
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] { drain(true); });
}

void PacedSender::send(const QList<std::function<void()>>& steps)
{
    for (qsizetype i = 0; i < steps.size(); ++i)
        m_steps.enqueue({steps.at(i), i > 0 && m_gapMs > 0});
    if (!m_timer.isActive())
        drain(false);
}

void PacedSender::clear()
{
    m_steps.clear();
    m_timer.stop();
}

void PacedSender::drain(bool gapElapsed)
{
    while (!m_steps.isEmpty()) {
        if (m_steps.head().gapBefore && !gapElapsed) {
            m_timer.start(m_gapMs);
            return;
        }
        gapElapsed = false;
        // A step may clear the queue (a connection closing), so take it first.
        const Step step = m_steps.dequeue();
        step.run();
    }
}
