// SPDX-License-Identifier: GPL-3.0-or-later
// Reply assembly from a TCP byte stream.
#include "session/reply_assembler.h"

#include "codec/frame_layout.h"

#include <algorithm>

namespace {

// The smallest length field that can describe a response: its fixed body.
constexpr qsizetype kMinReplyLength = frame::kResponseFixedSize - frame::kHeaderSize;

qsizetype lengthField(const QByteArray& header)
{
    const auto low = static_cast<unsigned char>(header[frame::kLengthOffset]);
    const auto high = static_cast<unsigned char>(header[frame::kLengthHighOffset]);
    return static_cast<qsizetype>(low | (high << 8));
}

} // namespace

ReplyAssembler::Step ReplyAssembler::add(QByteArrayView arrival, qsizetype offset)
{
    Step step;
    step.complete = m_complete;
    if (m_complete || offset < 0 || offset > arrival.size())
        return step;

    const char* next = arrival.data() + offset;
    qsizetype left = arrival.size() - offset;
    const auto take = [&](qsizetype count) {
        m_reply.append(next, count);
        next += count;
        left -= count;
        step.taken += count;
    };

    if (m_expected < 0) {
        take(std::min(left, frame::kHeaderSize - m_reply.size()));
        if (m_reply.size() < frame::kHeaderSize)
            return step;
        const qsizetype length = lengthField(m_reply);
        if (length < kMinReplyLength) {
            take(left);
            m_expected = m_reply.size();
            m_complete = step.complete = true;
            return step;
        }
        m_expected = frame::kHeaderSize + length;
        m_reply.reserve(m_expected);
    }

    take(std::min(left, m_expected - m_reply.size()));
    m_complete = step.complete = m_reply.size() == m_expected;
    return step;
}

void ReplyAssembler::startNext()
{
    // resize() keeps the capacity where clear() would free it.
    m_reply.resize(0);
    m_expected = -1;
    m_complete = false;
}
