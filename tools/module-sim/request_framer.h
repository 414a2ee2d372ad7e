// Splits a TCP byte stream into requests: by the header's length field when
// the bytes look like a request header, otherwise everything read is one
// request. Pure; the caller decides when stalled leftovers are flushed.
#pragma once

#include <QByteArray>
#include <QList>

class RequestFramer {
public:
    // Adds bytes and returns every request now complete, in order.
    QList<QByteArray> push(const QByteArray& bytes);
    // True while bytes wait for the rest of a header or body.
    bool hasPending() const { return !m_buffer.isEmpty(); }
    // Gives up waiting: whatever is buffered becomes one request.
    QByteArray takePending();

    // A header is trusted when its always-zero bytes are zero and its length
    // fits a request; a wrong checksum does not matter, so that deliberately
    // corrupted requests are still framed.
    static bool looksLikeHeader(const QByteArray& bytes);
    // Total request size the header announces.
    static int announcedSize(const QByteArray& header);

private:
    QByteArray m_buffer;
};
