// SPDX-License-Identifier: GPL-3.0-or-later
// A TCP connection of the simulator on a plain Linux descriptor.
#pragma once

#include "tcp_transport.h"

class QSocketNotifier;

// A plain descriptor, so that a request costs one receive and one send: Qt's
// socket asks the size first, and its writes wake the event loop twice more.
// Receives carry the kernel's arrival stamps; a reset is a zero linger time.
class LinuxTcpTransport : public TcpTransport {
    Q_OBJECT
public:
    // Takes ownership of the accepted descriptor.
    explicit LinuxTcpTransport(int descriptor, QObject* parent = nullptr);
    ~LinuxTcpTransport() override;
    LinuxTcpTransport(const LinuxTcpTransport&) = delete;
    LinuxTcpTransport& operator=(const LinuxTcpTransport&) = delete;

    QString peer() const override { return m_peer; }
    void write(const QByteArray& bytes) override;
    void closeWhenWritten() override;
    void resetWhenWritten() override;

private:
    enum class Ending { None, Close, Reset };

    void onReadable();
    void onWritable();
    void endNow();
    void stopWatching();

    int m_fd;
    QString m_peer;
    QSocketNotifier* m_readable = nullptr;
    QSocketNotifier* m_writable = nullptr;
    QByteArray m_buffer;
    // What the system has not taken yet, sent when it can.
    QByteArray m_unsent;
    Ending m_ending = Ending::None;
};
