// SPDX-License-Identifier: GPL-3.0-or-later
// Frame pacing for widget repaints.
//
// Qt widgets collect every change in the top-level's repaint manager and ask
// for a repaint with one UpdateRequest event to the top-level widget; until
// that event is handled, further changes only grow the dirty region and post
// nothing new. Some platforms (offscreen) deliver that event on the next pass
// of the event loop, so a window whose texts change on every socket reply
// repaints on every reply and spends most of its time painting. Here an
// UpdateRequest that comes sooner than one frame after the last repaint is
// held back and sent again at the frame boundary; the repaint manager keeps
// its dirty region meanwhile, so that one repaint shows the latest state of
// every widget. A request after a quiet spell goes through at once, so
// interactive changes are not delayed.
#include "ui/frame_paced_repaint.h"

#include <QCoreApplication>
#include <QEvent>
#include <QWidget>

FramePacedRepaint::FramePacedRepaint(QWidget* window)
    : QObject(window)
    , m_window(window)
{
    m_deferred.setSingleShot(true);
    // A coarse timer may fire a millisecond or more late, which would leave
    // the screen more than a frame behind.
    m_deferred.setTimerType(Qt::PreciseTimer);
    connect(&m_deferred, &QTimer::timeout, this, &FramePacedRepaint::deliverDeferred);
    window->installEventFilter(this);
}

bool FramePacedRepaint::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != m_window || event->type() != QEvent::UpdateRequest || m_delivering)
        return QObject::eventFilter(watched, event);
    // One delivery is already due; it paints everything dirty by then.
    if (m_deferred.isActive())
        return true;
    const qint64 since = m_sinceRepaint.isValid() ? m_sinceRepaint.elapsed() : kFrameMs;
    if (since >= kFrameMs) {
        m_sinceRepaint.start();
        ++m_repaints;
        return false;
    }
    m_deferred.start(static_cast<int>(kFrameMs - since));
    return true;
}

void FramePacedRepaint::deliverDeferred()
{
    m_sinceRepaint.start();
    ++m_repaints;
    m_delivering = true;
    QEvent request(QEvent::UpdateRequest);
    QCoreApplication::sendEvent(m_window, &request);
    m_delivering = false;
}
