// SPDX-License-Identifier: GPL-3.0-or-later
// Fault injection on reply bytes for the module simulator.
#include "reply_shaper.h"

#include "response_builder.h"

#include <QRandomGenerator>
#include <algorithm>

ReplyShaper::ReplyShaper(const SimOptions& options)
    : m_options(options)
{
}

std::optional<QList<QByteArray>> ReplyShaper::replyPieces(const QByteArray& request)
{
    ++m_replies;
    if (m_options.dropEvery > 0 && m_replies % m_options.dropEvery == 0)
        return std::nullopt;
    return split(shape(request, m_options), m_options.pieces);
}

QByteArray ReplyShaper::shape(const QByteArray& request, const SimOptions& options)
{
    QByteArray reply;
    if (options.randomBytes >= 0) {
        reply.resize(options.randomBytes);
        auto* bytes = reinterpret_cast<quint8*>(reply.data());
        for (qsizetype i = 0; i < reply.size(); ++i)
            bytes[i] = static_cast<quint8>(QRandomGenerator::global()->bounded(256));
    } else if (options.replySize >= 0) {
        reply = sim::buildSizedResponse(request, options.replySize);
    } else {
        reply = sim::buildResponse(request);
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
