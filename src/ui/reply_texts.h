// SPDX-License-Identifier: GPL-3.0-or-later
// The box texts of the requests sent and the replies arrived, built again only from bytes that change.
#pragma once

#include "codec/frame_display.h"

#include <QByteArray>
#include <QString>

struct ArrivedReply;
struct SentRequest;

// In continuous mode thousands of requests and replies a second repeat the
// same bytes, or the same but for the invoke ID and its checksum when each
// request carries its own. Their texts are built once and kept: bytes that
// repeat cost a comparison, and a new invoke ID rewrites those two texts in
// place. A time text is built again only when its number changes.
class ReplyTexts final {
public:
    // The five request header boxes' texts of the frame that went out.
    const HeaderTexts& requestHeader(const SentRequest& request);
    // The ten response boxes' texts of a reply as far as it has arrived.
    const ResponseTexts& response(const ArrivedReply& reply);

    // The Response Time, Min and Max boxes' texts of a timed reply.
    struct Times {
        QString elapsed;
        QString minTime;
        QString maxTime;
    };
    const Times& times(const ArrivedReply& reply);

private:
    HeaderTexts m_header;
    // The bytes the texts were built from: copies of their own, never shared
    // with the engine's, so that it overwrites its buffers without a copy.
    QByteArray m_headerBytes;
    bool m_hasHeader = false;
    ResponseTexts m_response;
    QByteArray m_responseBytes;
    bool m_hasResponse = false;
    Times m_times;
    qint32 m_elapsed = 0;
    qint32 m_minTime = 0;
    qint32 m_maxTime = 0;
};
