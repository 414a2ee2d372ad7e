// SPDX-License-Identifier: GPL-3.0-or-later
// A private X server for a test that must see what a real window system
// shows (window titles as X properties): Xvfb on a display number of its
// own, started before the QApplication exists, stopped with the object.
#pragma once

#include <QString>

#include <sys/types.h>

class XvfbDisplay {
public:
    XvfbDisplay() = default;
    ~XvfbDisplay();
    XvfbDisplay(const XvfbDisplay&) = delete;
    XvfbDisplay& operator=(const XvfbDisplay&) = delete;

    // Starts Xvfb and points DISPLAY at it; false, with why(), when Xvfb is
    // missing or does not come up.
    bool start();
    QString display() const { return m_display; }
    QString why() const { return m_why; }

private:
    pid_t m_pid = -1;
    QString m_display;
    QString m_why;
};

// A property of an X window as xprop prints it ("_NET_WM_NAME(UTF8_STRING)
// = \"Vexa Test\""), read from the server itself; empty when xprop fails.
QString xProperty(unsigned long window, const char* property);
