// SPDX-License-Identifier: GPL-3.0-or-later
// Request handling on one TCP connection of the module simulator.
#include "tcp_connection.h"

#include "exact_delay.h"
#include "response_builder.h"
#include "traffic_log.h"

namespace {

// How long fewer bytes than a header may wait for the rest of it before they
// are answered as a short request: long enough for a client writing a header
// in pieces or a segment sent again after a loss, short enough that a short
// request typed by hand still gets its answer. A complete header that looks
// right is not timed: it waits for the body its length field announces.
constexpr int kHeaderWaitMs = 1000;

} // namespace

TcpConnection::TcpConnection(TcpTransport* transport, const SimOptions& options, quint64 number,
                             QObject* parent)
    : QObject(parent)
    , m_transport(transport)
    , m_options(options)
    , m_peer(transport->peer())
    , m_shaper(options, number)
    , m_sender(options.pieceGapMs)
{
    m_transport->setParent(this);
    connect(m_transport, &TcpTransport::received, this, &TcpConnection::onReceived);
    connect(m_transport, &TcpTransport::gone, this, &TcpConnection::finish);
    connect(m_transport, &TcpTransport::finished, this, &QObject::deleteLater);

    m_headerWaitTimer.setSingleShot(true);
    connect(&m_headerWaitTimer, &QTimer::timeout, this, [this] {
        if (m_framer.awaitsHeader())
            answer(m_framer.takePending(), std::chrono::steady_clock::now());
    });

    if (m_options.verbose)
        printLine(QString("tcp %1 connected").arg(m_peer));
    if (m_options.unsolicited) {
        const QByteArray unsolicited = sim::buildUnsolicitedResponse();
        if (m_options.verbose)
            logTraffic("tcp", m_peer, "unsolicited", unsolicited);
        m_transport->write(unsolicited);
    }
}

void TcpConnection::onReceived(const QByteArray& bytes, std::chrono::steady_clock::time_point arrived)
{
    if (m_finished)
        return;
    const QList<QByteArray> requests = m_framer.push(bytes);
    for (const QByteArray& request : requests)
        answer(request, arrived);
    if (m_framer.awaitsHeader())
        m_headerWaitTimer.start(kHeaderWaitMs);
    else
        m_headerWaitTimer.stop();
}

void TcpConnection::answer(const QByteArray& request, std::chrono::steady_clock::time_point arrived)
{
    if (m_finished)
        return;
    if (m_options.verbose)
        logTraffic("tcp", m_peer, "request", request);
    const std::optional<ReplyShaper::Reply> reply = m_shaper.reply(request);
    if (!reply) {
        if (m_options.verbose)
            printLine(QString("tcp %1 reply dropped").arg(m_peer));
        return;
    }

    QList<std::function<void()>> steps;
    for (qsizetype i = 0; i < reply->pieces.size(); ++i) {
        const bool last = i + 1 == reply->pieces.size();
        steps.append([this, piece = reply->pieces.at(i), last] { writePiece(piece, last); });
    }
    // A reply cut to nothing still counts as sent for --close-after/--reset-after.
    if (steps.isEmpty())
        steps.append([this] { replySent(); });

    // Every delayed reply waits on its own timer, so one answered late does
    // not hold back the replies to the requests after it.
    if (reply->delay.count() > 0)
        sim::runAfter(this, arrived, reply->delay, [this, steps] { m_sender.send(steps); });
    else
        m_sender.send(steps);
}

void TcpConnection::writePiece(const QByteArray& piece, bool lastOfReply)
{
    if (m_finished)
        return;
    if (m_options.verbose)
        logTraffic("tcp", m_peer, "reply", piece);
    m_transport->write(piece);
    if (lastOfReply)
        replySent();
}

void TcpConnection::replySent()
{
    if (m_finished)
        return;
    ++m_repliesSent;
    if (m_options.closeAfter > 0 && m_repliesSent >= m_options.closeAfter) {
        if (m_options.verbose)
            printLine(QString("tcp %1 closing after %2 replies").arg(m_peer).arg(m_repliesSent));
        stopAnswering();
        // Graceful: what is still unsent goes before the FIN.
        m_transport->closeWhenWritten();
    } else if (m_options.resetAfter > 0 && m_repliesSent >= m_options.resetAfter) {
        if (m_options.verbose)
            printLine(QString("tcp %1 resetting after %2 replies").arg(m_peer).arg(m_repliesSent));
        stopAnswering();
        m_transport->resetWhenWritten();
    }
}

void TcpConnection::stopAnswering()
{
    m_finished = true;
    m_sender.clear();
    m_headerWaitTimer.stop();
}

void TcpConnection::finish()
{
    if (m_options.verbose)
        printLine(QString("tcp %1 disconnected").arg(m_peer));
    stopAnswering();
    deleteLater();
}
