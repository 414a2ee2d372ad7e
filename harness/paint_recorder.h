// SPDX-License-Identifier: GPL-3.0-or-later
// Counts the paint events of one widget and, for a line edit, keeps the text
// it had when last painted: what the screen shows.
#pragma once

#include <QObject>
#include <QString>

class QWidget;

class PaintRecorder : public QObject {
public:
    explicit PaintRecorder(QWidget* widget);
    long paints = 0;
    QString paintedText;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* m_widget;
};
