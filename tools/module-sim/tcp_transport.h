// SPDX-License-Identifier: GPL-3.0-or-later
// How one TCP connection of the simulator moves bytes: the few operations a
// network layer provides, so that the request handling above is written once.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <chrono>

class TcpTransport : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // "address:port" of the client, as the traffic log names it.
    virtual QString peer() const = 0;
    // Sends the bytes after those written before; what the system cannot
    // take yet goes as soon as it can.
    virtual void write(const QByteArray& bytes) = 0;
    // Stops reading at once and ends the connection once everything written
    // has gone: gracefully (FIN) or abortively (RST). Emits finished() then.
    virtual void closeWhenWritten() = 0;
    virtual void resetWhenWritten() = 0;

signals:
    // Bytes from the client, and when they reached this machine (or, where
    // the layer cannot tell, when they were read).
    void received(const QByteArray& bytes, std::chrono::steady_clock::time_point arrived);
    // The client closed or reset the connection, or a send failed.
    void gone();
    // A close or reset asked for has been carried out.
    void finished();
};
