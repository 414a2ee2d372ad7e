// SPDX-License-Identifier: GPL-3.0-or-later
// A session's engine events as one line of text, fed to request trackers, so
// that a test reads as the exchanges it checks:
//   "S1@0 R1@5 S2@10 G2:timeout@1010 L2@1500 X@1600"
// Tokens, with times in milliseconds on the trackers' clock:
//   [K:]S<n>@t        request n sent (on connection K, default 1); its invoke ID is n
//   R<n>@t            its whole, well-formed reply, timed from its send
//   R<n>~@t           the same, untimed (another request could have drawn it)
//   R<n>!<fault>@t    a reply that fails a check: checksum, length, company,
//                     invoke or short
//   P<n>@t            half a reply (still coming in)
//   G<n>:<reason>@t   given up: timeout, overtaken, superseded or abandoned
//   L<n>@t            a late reply for n, timed from its send; L<n>~@t untimed
//   X@t               a whole reply that answers no request (invoke ID FFFF)
//   x@t               five bytes that answer no request
//   E@t  the session ends      C@t  the run is cut short      Z@t  statistics reset
#pragma once

#include "harness/response_frame.h"
#include "session/request_tracker.h"
#include "session/session_engine.h"

#include <QHash>
#include <QRegularExpression>
#include <QStringList>

#include <functional>

namespace exchange_script {

// The reply to `request` with `fault` ("" for none) put into it.
inline QByteArray faultyReply(const QByteArray& request, const QString& fault)
{
    QByteArray reply = responseTo(request);
    if (fault == u"short")
        return reply.left(12);
    if (fault == u"length")
        reply[frame::kLengthOffset] = char(reply[frame::kLengthOffset] + 1);
    else if (fault == u"company")
        reply[frame::kCompanyIdOffset] = 'X';
    else if (fault == u"invoke")
        reply[frame::kInvokeIdOffset + 1] = char(reply[frame::kInvokeIdOffset + 1] ^ 0x55);
    if (fault != u"checksum")
        setResponseChecksum(reply);
    else
        reply[frame::kCheckSumOffset] = char(reply[frame::kCheckSumOffset] + 1);
    return reply;
}

inline ReplyLedger::GiveUpReason reasonOf(const QString& word)
{
    if (word == u"overtaken")
        return ReplyLedger::GiveUpReason::Overtaken;
    if (word == u"superseded")
        return ReplyLedger::GiveUpReason::Superseded;
    if (word == u"abandoned")
        return ReplyLedger::GiveUpReason::Abandoned;
    return ReplyLedger::GiveUpReason::Deadline;
}

} // namespace exchange_script

// Feeds scripts to the tracker of each connection, remembering when each
// request went across calls.
class ExchangeScript {
public:
    using TrackerOf = std::function<RequestTracker&(int connection)>;
    explicit ExchangeScript(TrackerOf trackerOf)
        : m_trackerOf(std::move(trackerOf))
    {
    }
    explicit ExchangeScript(RequestTracker& tracker)
        : m_trackerOf([&tracker](int) -> RequestTracker& { return tracker; })
    {
    }

    // False and `error` on a token it cannot read.
    bool run(const QString& script, QString* error = nullptr);

private:
    TrackerOf m_trackerOf;
    QHash<quint64, qint64> m_sentNs; // by connection << 32 | request
};

inline bool ExchangeScript::run(const QString& script, QString* error)
{
    using namespace exchange_script;
    static const QRegularExpression token(
        QStringLiteral(R"(^(?:(\d+):)?([SRPGLXxECZ])(\d*)(~)?(?:!(\w+))?(?::(\w+))?@(\d+)$)"));
    QHash<quint64, qint64>& sentNs = m_sentNs;
    for (const QString& word : script.split(u' ', Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch m = token.match(word);
        if (!m.hasMatch()) {
            if (error)
                *error = QStringLiteral("cannot read %1").arg(word);
            return false;
        }
        const int connection = m.captured(1).isEmpty() ? 1 : m.captured(1).toInt();
        const QChar kind = m.captured(2).front();
        const quint64 n = m.captured(3).toULongLong();
        const bool untimed = !m.captured(4).isEmpty();
        const qint64 nowNs = m.captured(7).toLongLong() * 1'000'000;
        const quint64 key = (quint64(connection) << 32) | n;
        RequestTracker& tracker = m_trackerOf(connection);
        const QByteArray request = requestFrame(quint16(n));
        ArrivedReply reply;
        switch (kind.unicode()) {
        case 'S': {
            SentRequest sent;
            sent.sequence = n;
            sent.frame = request;
            sentNs.insert(key, nowNs);
            tracker.requestSent(sent, nowNs);
            break;
        }
        case 'R':
        case 'P':
        case 'L':
            reply.sequence = n;
            reply.requestInvokeId = quint16(n);
            reply.bytes = faultyReply(request, m.captured(5));
            reply.complete = kind != u'P';
            reply.late = kind == u'L';
            reply.timed = !untimed && reply.complete;
            reply.elapsedNs = nowNs - sentNs.value(key);
            tracker.replyArrived(reply, nowNs);
            break;
        case 'X':
        case 'x':
            reply.bytes =
                kind == u'X' ? responseTo(requestFrame(0xFFFF)) : QByteArray("\x01\x02\x03\x04\x05");
            reply.timed = false;
            tracker.replyArrived(reply, nowNs);
            break;
        case 'G': {
            GivenUpRequest givenUp;
            givenUp.sequence = n;
            givenUp.reason = reasonOf(m.captured(6));
            givenUp.waitedNs = nowNs - sentNs.value(key);
            tracker.requestGivenUp(givenUp, nowNs);
            break;
        }
        case 'E':
            tracker.sessionEnded(nowNs);
            break;
        case 'C':
            tracker.cutShort(nowNs);
            break;
        case 'Z':
            tracker.resetStatistics();
            break;
        }
    }
    return true;
}
