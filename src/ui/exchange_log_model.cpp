// SPDX-License-Identifier: GPL-3.0-or-later
// The exchange log's ring, its batches and the texts of its cells.
#include "ui/exchange_log_model.h"

#include "codec/reply_check.h"

#include <QBrush>
#include <QColor>
#include <QDateTime>
#include <QStringList>

#include <algorithm>

namespace {

QString lostText(Exchange::LostReason reason)
{
    switch (reason) {
    case Exchange::LostReason::Deadline:
        return QStringLiteral("lost: timeout");
    case Exchange::LostReason::Overtaken:
        return QStringLiteral("lost: overtaken");
    case Exchange::LostReason::Superseded:
        return QStringLiteral("lost: superseded");
    case Exchange::LostReason::SessionEnded:
        return QStringLiteral("lost: session ended");
    }
    return QStringLiteral("lost");
}

// The failed checks as a person reads them: "checksum, invoke ID".
QString faultNames(unsigned faults)
{
    static const char* const kNames[kReplyFaultKinds] = {"short", "checksum", "length", "company ID",
                                                         "invoke ID"};
    QStringList names;
    for (int i = 0; i < kReplyFaultKinds; ++i) {
        if (faults & (1u << i))
            names << QLatin1String(kNames[i]);
    }
    return names.join(QStringLiteral(", "));
}

// Dark enough to read on the view's white, apart enough to find in a scroll.
const QColor kFailedColour(0xB0, 0x00, 0x20);
const QColor kLostColour(0x9A, 0x4B, 0x00);
const QColor kAsideColour(0x55, 0x55, 0x99); // late and unexpected bytes

} // namespace

ExchangeLogModel::ExchangeLogModel(int capacity, QObject* parent)
    : QAbstractTableModel(parent)
    , m_capacity(std::max(capacity, 1))
{
    m_pending.reserve(1024);
    m_batchTimer.setSingleShot(true);
    m_batchTimer.setInterval(kBatchIntervalMs);
    connect(&m_batchTimer, &QTimer::timeout, this, &ExchangeLogModel::flush);
}

void ExchangeLogModel::append(const Exchange& exchange)
{
    // The batch never holds more than the ring keeps: should the event loop
    // stall that long, it goes to the view at once.
    if (m_pending.size() >= std::size_t(m_capacity))
        flush();
    m_pending.push_back(exchange);
    if (!m_batchTimer.isActive())
        m_batchTimer.start();
}

void ExchangeLogModel::flush()
{
    m_batchTimer.stop();
    if (m_pending.empty())
        return;
    const int incoming = int(m_pending.size());
    // The ring's storage reaches its full size once, the first time it
    // would wrap; from then on slots are reused.
    if (m_ring.size() < std::size_t(m_capacity) && m_count + incoming > m_capacity)
        m_ring.resize(std::size_t(m_capacity));
    const int remove = std::max(0, m_count + incoming - m_capacity);
    if (remove > 0) {
        beginRemoveRows(QModelIndex(), 0, remove - 1);
        m_first = (m_first + std::size_t(remove)) % m_ring.size();
        m_count -= remove;
        m_dropped += quint64(remove);
        endRemoveRows();
    }
    beginInsertRows(QModelIndex(), m_count, m_count + incoming - 1);
    for (Exchange& exchange : m_pending) {
        if (m_ring.size() < std::size_t(m_capacity))
            m_ring.push_back(std::move(exchange));
        else
            m_ring[slot(m_count)] = std::move(exchange);
        ++m_count;
    }
    m_pending.clear();
    endInsertRows();
    emit batchShown();
}

const Exchange& ExchangeLogModel::exchangeAt(int row) const
{
    Q_ASSERT(row >= 0 && row < m_count);
    return m_ring[slot(row)];
}

int ExchangeLogModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_count;
}

int ExchangeLogModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QString ExchangeLogModel::outcomeText(const Exchange& exchange)
{
    switch (exchange.outcome) {
    case Exchange::Outcome::Answered:
        if (exchange.faults)
            return QStringLiteral("failed: ") + faultNames(exchange.faults);
        return exchange.timed() ? QStringLiteral("ok") : QStringLiteral("ok, untimed");
    case Exchange::Outcome::Lost:
        return lostText(exchange.lostReason);
    case Exchange::Outcome::Unanswered:
        return QStringLiteral("unanswered");
    case Exchange::Outcome::Late:
        return QStringLiteral("late");
    case Exchange::Outcome::Unexpected:
        return QStringLiteral("unexpected");
    }
    return {};
}

QString ExchangeLogModel::roundTripText(const Exchange& exchange)
{
    if (!exchange.timed() || exchange.reply.isEmpty())
        return {};
    const qint64 us = (exchange.roundTripNs + 500) / 1000;
    return QStringLiteral("%1.%2 ms").arg(us / 1000).arg(us % 1000, 3, 10, QLatin1Char('0'));
}

QString ExchangeLogModel::text(const Exchange& exchange, int column) const
{
    switch (column) {
    case Sequence:
        return exchange.sequence ? QString::number(exchange.sequence) : QString();
    case Time: {
        const qint64 ms = (m_epochUsAtZero + exchange.sentNs / 1000) / 1000;
        return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("hh:mm:ss.zzz"));
    }
    case InvokeId:
        return exchange.hasInvokeId
            ? QStringLiteral("%1").arg(exchange.invokeId, 4, 16, QLatin1Char('0')).toUpper()
            : QString();
    case Outcome:
        return outcomeText(exchange);
    case RoundTrip:
        return roundTripText(exchange);
    case RequestBytes:
        return exchange.request.isEmpty() ? QString() : QString::number(exchange.request.size());
    case ReplyBytes:
        if (!exchange.reply.isEmpty())
            return QString::number(exchange.reply.size());
        // A reply cut short by the timeout: what had come of it.
        if (exchange.arrivedBytes > 0) {
            return exchange.expectedBytes > 0
                ? QStringLiteral("%1 of %2").arg(exchange.arrivedBytes).arg(exchange.expectedBytes)
                : QString::number(exchange.arrivedBytes);
        }
        return {};
    }
    return {};
}

QVariant ExchangeLogModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= m_count)
        return {};
    const Exchange& exchange = exchangeAt(index.row());
    switch (role) {
    case Qt::DisplayRole:
        return text(exchange, index.column());
    case Qt::ForegroundRole:
        if (exchange.answered() && exchange.faults)
            return QBrush(kFailedColour);
        if (exchange.outcome == Exchange::Outcome::Lost || exchange.outcome == Exchange::Outcome::Unanswered)
            return QBrush(kLostColour);
        if (!exchange.isRequest())
            return QBrush(kAsideColour);
        return {};
    case Qt::TextAlignmentRole:
        if (index.column() == Outcome || index.column() == Time)
            return int(Qt::AlignLeft | Qt::AlignVCenter);
        return int(Qt::AlignRight | Qt::AlignVCenter);
    default:
        return {};
    }
}

QVariant ExchangeLogModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case Sequence:
        return QStringLiteral("#");
    case Time:
        return QStringLiteral("Time");
    case InvokeId:
        return QStringLiteral("Invoke ID");
    case Outcome:
        return QStringLiteral("Outcome");
    case RoundTrip:
        return QStringLiteral("Round trip");
    case RequestBytes:
        return QStringLiteral("Request");
    case ReplyBytes:
        return QStringLiteral("Reply");
    }
    return {};
}
