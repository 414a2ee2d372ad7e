// SPDX-License-Identifier: GPL-3.0-or-later
// Fault injection on reply bytes and reply timing for the module simulator.
#include "reply_shaper.h"

#include "codec/request_encoder.h"
#include "response_builder.h"

#include <QRandomGenerator>
#include <algorithm>

namespace {

// Writes `bytes` at `offset` as far as the reply reaches: a reply sized
// shorter than a response keeps the first bytes of the same reply in full.
void overwrite(QByteArray& reply, int offset, const QByteArray& bytes)
{
    for (int i = 0; i < bytes.size() && offset + i < reply.size(); ++i)
        reply[offset + i] = bytes[i];
}

// The invoke ID, state and Code/No the options ask for, under a checksum
// that matches them unless --bad-checksum says otherwise.
void setFields(QByteArray& reply, const SimOptions& options)
{
    QByteArray invokeId = reply.mid(frame::kInvokeIdOffset, frame::kInvokeIdSize);
    if (options.invokeId == SimOptions::InvokeId::Complemented) {
        for (char& byte : invokeId)
            byte = static_cast<char>(~byte);
    } else if (options.invokeId == SimOptions::InvokeId::Fixed) {
        invokeId = options.fixedInvokeId;
    }
    overwrite(reply, frame::kInvokeIdOffset, invokeId);
    overwrite(reply, frame::kStateOffset, options.state);
    overwrite(reply, frame::kCodeOffset, options.code);
    if (reply.size() > frame::kCheckSumOffset) {
        const int sum = ByteSum(reply, frame::kCheckSumFirst, frame::kCheckSumLast);
        reply[frame::kCheckSumOffset] = static_cast<char>(options.badChecksum ? sum + 1 : sum);
    }
}

} // namespace

ReplyShaper::ReplyShaper(const SimOptions& options, quint64 stream)
    : m_options(options)
{
    std::seed_seq seeds{static_cast<quint32>(options.seed), static_cast<quint32>(options.seed >> 32),
                        static_cast<quint32>(stream), static_cast<quint32>(stream >> 32)};
    m_random.seed(seeds);
}

std::optional<ReplyShaper::Reply> ReplyShaper::reply(const QByteArray& request)
{
    using namespace std::chrono;
    ++m_requests;
    // Both draws are made for every request, answered or not, so that one
    // seed gives the same faults to the same requests whatever else is set.
    const bool lost = m_options.lossPercent > 0
        && std::uniform_real_distribution<double>(0, 100)(m_random) < m_options.lossPercent;
    microseconds jitter(0);
    if (m_options.jitterMs > 0)
        jitter =
            microseconds(std::uniform_int_distribution<qint64>(0, m_options.jitterMs * 1000LL)(m_random));
    if (lost || m_options.ignored.contains(m_requests)
        || (m_options.dropEvery > 0 && m_requests % m_options.dropEvery == 0))
        return std::nullopt;
    const milliseconds wait(m_options.delayMs + m_options.lateMs.value(m_requests, 0));
    return Reply{split(shape(request, m_options), m_options.pieces), wait + jitter};
}

QByteArray ReplyShaper::shape(const QByteArray& request, const SimOptions& options)
{
    QByteArray reply;
    if (options.randomBytes >= 0) {
        reply.resize(options.randomBytes);
        auto* bytes = reinterpret_cast<quint8*>(reply.data());
        for (qsizetype i = 0; i < reply.size(); ++i)
            bytes[i] = static_cast<quint8>(QRandomGenerator::global()->bounded(256));
    } else {
        reply = options.replySize >= 0 ? sim::buildSizedResponse(request, options.replySize)
                                       : sim::buildResponse(request);
        setFields(reply, options);
    }
    if (options.cut >= 0)
        reply.truncate(options.cut);
    reply.append(extraBytes(options.extra));
    return reply;
}

QList<QByteArray> ReplyShaper::split(const QByteArray& bytes, int count)
{
    QList<QByteArray> pieces;
    const qsizetype total = bytes.size();
    const qsizetype n = std::min<qsizetype>(std::max(count, 1), total);
    qsizetype start = 0;
    for (qsizetype i = 0; i < n; ++i) {
        // Spread the remainder over the first pieces so sizes differ by one at most.
        const qsizetype size = total / n + (i < total % n ? 1 : 0);
        pieces.append(bytes.mid(start, size));
        start += size;
    }
    return pieces;
}

QByteArray ReplyShaper::extraBytes(int count)
{
    QByteArray extra(std::max(count, 0), '\0');
    for (qsizetype i = 0; i < extra.size(); ++i)
        extra[i] = static_cast<char>(0xE0 | (i & 0x0F));
    return extra;
}
