// SPDX-License-Identifier: GPL-3.0-or-later
// Quits the Qt event loop on SIGTERM or SIGINT, so the simulator shuts its
// sockets down cleanly instead of dying mid-write.
#pragma once

#include <QObject>

class QSocketNotifier;

class QuitOnSignal : public QObject {
    Q_OBJECT
public:
    explicit QuitOnSignal(QObject* parent = nullptr);
    // False when the pipe or the handlers could not be set up.
    bool install();

private:
    static void handleSignal(int signal);

    QSocketNotifier* m_notifier = nullptr;
};
