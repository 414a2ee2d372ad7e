// SPDX-License-Identifier: GPL-3.0-or-later
// Paint events of one widget, seen through an event filter.
#include "harness/paint_recorder.h"

#include <QEvent>
#include <QLineEdit>

PaintRecorder::PaintRecorder(QWidget* widget)
    : m_widget(widget)
{
    widget->installEventFilter(this);
}

bool PaintRecorder::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_widget && event->type() == QEvent::Paint) {
        ++paints;
        if (auto* box = qobject_cast<QLineEdit*>(m_widget))
            paintedText = box->text();
    }
    return QObject::eventFilter(watched, event);
}
