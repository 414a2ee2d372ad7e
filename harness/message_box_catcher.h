// SPDX-License-Identifier: GPL-3.0-or-later
// Dismisses every modal message box a test opens and records what it said.
#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QStringList>
#include <QTest>
#include <QTimer>

class MessageBoxCatcher {
public:
    struct Message {
        QString title;
        QString text;
        QMessageBox::Icon icon;
        QMessageBox::StandardButtons buttons;
    };

    // Armed before the box opens: the timer also fires inside the box's own
    // event loop.
    MessageBoxCatcher()
    {
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { dismiss(); });
        m_timer.start();
    }

    const QList<Message>& messages() const { return m_messages; }
    int count() const { return static_cast<int>(m_messages.size()); }
    // The next box stays open for this long (to show what goes on behind it).
    void holdFor(int ms)
    {
        m_held = true;
        // Tied to the catcher's own timer, so it dies with the catcher.
        QTimer::singleShot(ms, &m_timer, [this] { m_held = false; });
    }

private:
    void dismiss()
    {
        if (m_held)
            return;
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        m_messages.append({box->windowTitle(), box->text(), box->icon(), box->standardButtons()});
        QTest::keyClick(box, Qt::Key_Return);
    }

    QTimer m_timer;
    QList<Message> m_messages;
    bool m_held = false;
};
