// SPDX-License-Identifier: GPL-3.0-or-later
// The exchange log beside the form: the session's counts and round-trip
// figures, the latest exchanges as a table that follows the newest, and the
// selected exchange field by field.
#pragma once

#include <QWidget>

class ExchangeLogModel;
class QLabel;
class QModelIndex;
class QPlainTextEdit;
class QTableView;
class RoundTripChart;
class WindowTracker;

class ExchangeLogPane final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ExchangeLogPane)
public:
    static constexpr int kWidth = 620;

    ExchangeLogPane(ExchangeLogModel* model, WindowTracker* tracker, QWidget* parent = nullptr);

    // The chart, for its export.
    const RoundTripChart& chart() const { return *m_chart; }

    // The counts line from the tracker's counts as they are now.
    void showCounts();

protected:
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void fitColumns();
    void showBatch();
    void showDetail(const QModelIndex& current);
    void rowsComing();
    void rowsCame();
    void rowsLeft(int count);

    ExchangeLogModel* m_model;
    WindowTracker* m_tracker;
    QLabel* m_counts = nullptr;
    QLabel* m_dropped = nullptr;
    QWidget* m_chartArea = nullptr;
    RoundTripChart* m_chart = nullptr;
    QTableView* m_table = nullptr;
    QPlainTextEdit* m_detail = nullptr;
    // The view shows the newest row and keeps doing so until the user
    // scrolls away from it.
    bool m_followNewest = true;
};
