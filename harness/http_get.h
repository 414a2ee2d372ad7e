// SPDX-License-Identifier: GPL-3.0-or-later
// One blocking HTTP GET on loopback, with no event loop needed: for the
// metrics a monitor serves and the API of a Prometheus server.
#pragma once

#include <QByteArray>
#include <QString>
#include <QTcpSocket>

#include <optional>

namespace harness {

struct HttpReply {
    int status = 0;
    QByteArray body;
};

// `target` is the path and query, already percent-encoded. HTTP/1.0, so the
// server closes the connection after its reply and sends the body as it is.
inline std::optional<HttpReply> httpGet(const QString& host, quint16 port, const QByteArray& target,
                                        int timeoutMs = 5000)
{
    QTcpSocket socket;
    socket.connectToHost(host, port);
    if (!socket.waitForConnected(timeoutMs))
        return std::nullopt;
    socket.write("GET " + target + " HTTP/1.0\r\nHost: " + host.toLatin1() + "\r\n\r\n");
    QByteArray response;
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(timeoutMs))
        response += socket.readAll();
    response += socket.readAll();
    const qsizetype headerEnd = response.indexOf("\r\n\r\n");
    // "HTTP/1.x 200 OK"
    const QList<QByteArray> statusLine = response.left(response.indexOf("\r\n")).split(' ');
    if (headerEnd < 0 || statusLine.size() < 2)
        return std::nullopt;
    return HttpReply{statusLine[1].toInt(), response.mid(headerEnd + 4)};
}

} // namespace harness
