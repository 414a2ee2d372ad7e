// SPDX-License-Identifier: GPL-3.0-or-later
// The exchange log as a table: the latest exchanges of the window's session
// in a bounded ring, handed to the view in batches a few dozen times a
// second, however many thousands arrive.
#pragma once

#include "session/exchange.h"

#include <QAbstractTableModel>
#include <QTimer>

#include <vector>

class ExchangeLogModel final : public QAbstractTableModel {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ExchangeLogModel)
public:
    enum Column { Sequence, Time, InvokeId, Outcome, RoundTrip, RequestBytes, ReplyBytes, ColumnCount };

    static constexpr int kDefaultCapacity = 100'000;
    // About 30 batches a second: smoother than the eye follows, and few
    // enough that the view's work stays a small share of continuous mode.
    static constexpr int kBatchIntervalMs = 33;

    // Keeps the `capacity` latest exchanges; older ones are dropped and counted.
    explicit ExchangeLogModel(int capacity = kDefaultCapacity, QObject* parent = nullptr);

    // The epoch time, in microseconds, of the clock the exchanges' times
    // are on, for the Time column.
    void setEpochUsAtZero(qint64 epochUs) { m_epochUsAtZero = epochUs; }
    qint64 epochUsAtZero() const { return m_epochUsAtZero; }

    // Called for every exchange as it is decided: a copy into the pending
    // batch, nothing more. The view hears of it with the next batch.
    void append(const Exchange& exchange);
    // Hands the pending exchanges to the view now.
    void flush();

    int capacity() const { return m_capacity; }
    // Exchanges that left the log to make room for newer ones.
    quint64 dropped() const { return m_dropped; }
    // Row 0 is the oldest exchange kept.
    const Exchange& exchangeAt(int row) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // The Outcome column's text: "ok", "ok, untimed", "lost: timeout",
    // "failed: checksum, invoke ID", "late", "unexpected"...
    static QString outcomeText(const Exchange& exchange);
    // A round trip as "1.234 ms" (to the microsecond); empty when untimed.
    static QString roundTripText(const Exchange& exchange);

signals:
    // A batch went to the view (also one that only dropped rows).
    void batchShown();

private:
    QString text(const Exchange& exchange, int column) const;
    std::size_t slot(int row) const { return (m_first + std::size_t(row)) % m_ring.size(); }

    int m_capacity;
    // The kept exchanges, oldest at m_first; grows to m_capacity, then wraps.
    std::vector<Exchange> m_ring;
    std::size_t m_first = 0;
    int m_count = 0;
    // Decided, not yet shown; its storage is kept between batches.
    std::vector<Exchange> m_pending;
    quint64 m_dropped = 0;
    qint64 m_epochUsAtZero = 0;
    QTimer m_batchTimer;
};
