// SPDX-License-Identifier: GPL-3.0-or-later
// Splits a TCP byte stream into requests: a request whose header looks right
// is as long as its length field says, however the bytes are split; bytes
// that cannot start a request header are one request as they are. Pure; the
// caller decides how long too few bytes to tell may wait.
#pragma once

#include <QByteArray>
#include <QList>

class RequestFramer {
public:
    // Adds bytes and returns every request now complete, in order.
    QList<QByteArray> push(const QByteArray& bytes);
    // True while bytes wait for the rest of a header or body.
    bool hasPending() const { return !m_buffer.isEmpty(); }
    // True while the waiting bytes are fewer than a header but could still
    // start one: only more bytes, or none coming, tell a split header from a
    // short request. A complete header that looks right never waits here;
    // it waits for its body however long that takes.
    bool awaitsHeader() const;
    // Gives up waiting: whatever is buffered becomes one request.
    QByteArray takePending();

    // False once a byte already present rules out a request header: a
    // reserved or pad byte that is not zero, or a length no request can
    // carry. Bytes past the header are not looked at, and a wrong checksum
    // does not matter, so that deliberately corrupted requests are still
    // framed.
    static bool canStartHeader(const QByteArray& bytes);
    // Total request size the header announces.
    static int announcedSize(const QByteArray& header);

private:
    QByteArray m_buffer;
};
