// SPDX-License-Identifier: GPL-3.0-or-later
// Cuts the bytes that arrive over TCP, in whatever pieces the socket hands
// them over, into replies by the length in each reply's own header.
#pragma once

#include <QByteArray>
#include <QByteArrayView>

// One reply at a time: add() feeds it bytes until the reply is whole, then the
// caller takes current() and calls startNext() before feeding the rest of the
// arrival. Every byte fed goes into exactly one reply, in order.
//
// A reply is whole once its header and as many body bytes as its length field
// announces are in. A length field too small for a response's fixed body
// cannot describe a reply, and no later byte can be trusted to start the next
// one; such a reply ends with the arrival that completed its header and takes
// the rest of that arrival, so nothing waits on a nonsense length.
class ReplyAssembler {
public:
    // What one call of add() did.
    struct Step {
        qsizetype taken = 0; // bytes of the arrival consumed into the current reply
        bool complete = false; // the current reply is now whole
    };

    // Appends the bytes of `arrival` from `offset` on to the current reply, up
    // to where that reply ends and no further. Once the reply is complete it
    // takes nothing more until startNext(). An offset outside the arrival
    // takes nothing.
    Step add(QByteArrayView arrival, qsizetype offset = 0);

    // The bytes of the current reply so far.
    const QByteArray& current() const { return m_reply; }
    bool isEmpty() const { return m_reply.isEmpty(); }

    // Forgets the current reply, complete or not; the next bytes begin a new
    // one. Keeps the storage, so equal-size replies allocate nothing.
    void startNext();

    // The size of the current reply in all once its header is in, -1 before:
    // header plus announced body, or for a length too short to be a reply the
    // size it ended with.
    qsizetype expectedSize() const { return m_expected; }

private:
    QByteArray m_reply;
    qsizetype m_expected = -1;
    bool m_complete = false;
};
