// SPDX-License-Identifier: GPL-3.0-or-later
// Holds a top-level widget to at most one repaint per display frame while
// its contents change faster than that, as they do in continuous mode.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class QWidget;

class FramePacedRepaint : public QObject {
    Q_OBJECT
public:
    // One frame of a 60 Hz display.
    static constexpr int kFrameMs = 16;

    // Watches `window` (a top-level widget) and lives as long as it does.
    explicit FramePacedRepaint(QWidget* window);

    // Repaints let through or delivered since construction.
    long repaints() const { return m_repaints; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void deliverDeferred();

    QWidget* m_window;
    QElapsedTimer m_sinceRepaint;
    QTimer m_deferred;
    bool m_delivering = false;
    long m_repaints = 0;
};
