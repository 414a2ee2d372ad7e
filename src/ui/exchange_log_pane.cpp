// SPDX-License-Identifier: GPL-3.0-or-later
// The exchange log pane: its counts line, table and detail view.
#include "ui/exchange_log_pane.h"

#include "ui/round_trip_chart.h"

#include "ui/exchange_detail.h"
#include "ui/exchange_log_model.h"
#include "ui/window_tracker.h"

#include <QFontDatabase>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QSplitter>
#include <QStringList>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>

namespace {

// Numbers grouped in threes the same way wherever the tool runs, as the
// rest of its English texts are.
const QLocale kNumbers(QLocale::English, QLocale::UnitedStates);

QString number(quint64 n)
{
    return kNumbers.toString(qulonglong(n));
}

QString ms(qint64 ns)
{
    return QStringLiteral("%1 ms").arg(double(ns) / 1e6, 0, 'f', 3);
}

// "(timeout 3, overtaken 1)": the non-zero parts of a count, or nothing.
QString parts(const QStringList& names, const quint64* counts, int n)
{
    QStringList shown;
    for (int i = 0; i < n; ++i) {
        if (counts[i])
            shown << QStringLiteral("%1 %2").arg(names.at(i), number(counts[i]));
    }
    return shown.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(shown.join(QStringLiteral(", ")));
}

QString countsText(const WindowTracker& tracker)
{
    const auto& c = tracker.counts();
    static const QStringList kReasons = {QStringLiteral("timeout"), QStringLiteral("overtaken"),
                                         QStringLiteral("superseded"), QStringLiteral("session ended")};
    static const QStringList kFaults = {QStringLiteral("short"), QStringLiteral("checksum"),
                                        QStringLiteral("length"), QStringLiteral("company ID"),
                                        QStringLiteral("invoke ID")};
    const QString sep = QStringLiteral(" \u00B7 ");
    QStringList first;
    first << QStringLiteral("Sent %1").arg(number(c.sent))
          << QStringLiteral("Replies %1").arg(number(c.replies))
          << QStringLiteral("Lost %1").arg(number(c.lost))
            + parts(kReasons, c.lostBy.data(), int(c.lostBy.size()))
          << QStringLiteral("Late %1").arg(number(c.late))
          << QStringLiteral("Unexpected %1").arg(number(c.unexpected))
          << QStringLiteral("Failed checks %1").arg(number(c.failed))
            + parts(kFaults, c.faults.data(), int(c.faults.size()));
    const LatencyHistogram& rt = tracker.roundTrip();
    QString second;
    if (rt.count() == 0) {
        second = QStringLiteral("Round trip: no reply passed the checks yet");
    } else {
        second =
            QStringLiteral("Round trip p50 %1%5p90 %2%5p99 %3%5max %4")
                .arg(ms(rt.percentile(50)), ms(rt.percentile(90)), ms(rt.percentile(99)), ms(rt.max()), sep);
    }
    const double rate = tracker.requestsPerSecond();
    if (rate > 0)
        second += sep + QStringLiteral("%1 requests/s").arg(number(quint64(rate + 0.5)));
    return first.join(sep) + u'\n' + second;
}

} // namespace

ExchangeLogPane::ExchangeLogPane(ExchangeLogModel* model, WindowTracker* tracker, QWidget* parent)
    : QWidget(parent)
    , m_model(model)
    , m_tracker(tracker)
{
    setObjectName(QStringLiteral("paneExchangeLog"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 4, 6, 4);
    layout->setSpacing(4);

    m_counts = new QLabel(this);
    m_counts->setObjectName(QStringLiteral("lblExchangeCounts"));
    m_counts->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // Two lines always, wrapped within the pane: counts coming or going
    // move nothing below.
    m_counts->setWordWrap(true);
    m_counts->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    layout->addWidget(m_counts);

    m_dropped = new QLabel(this);
    m_dropped->setObjectName(QStringLiteral("lblExchangesDropped"));
    m_dropped->hide();
    layout->addWidget(m_dropped);

    auto* splitter = new QSplitter(Qt::Vertical, this);
    splitter->setChildrenCollapsible(false);

    // The live chart: the last minute's round trips above their
    // distribution since the statistics were last reset. In the splitter
    // with the log, which gets most of the height; the user may give the
    // chart more.
    m_chartArea = new QWidget(splitter);
    m_chartArea->setObjectName(QStringLiteral("chartArea"));
    auto* chartLayout = new QVBoxLayout(m_chartArea);
    chartLayout->setContentsMargins(0, 0, 0, 0);
    m_chart = new RoundTripChart(m_chartArea);
    m_chart->setSources(&tracker->recent(), &tracker->roundTrip());
    m_chart->setMinimumSize(300, 180);
    chartLayout->addWidget(m_chart);

    m_table = new QTableView(splitter);
    m_table->setObjectName(QStringLiteral("tblExchangeLog"));
    m_table->setModel(model);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setWordWrap(false);
    m_table->setCornerButtonEnabled(false);
    // The sequence column says which row is which; rows of one fixed
    // height cost the view nothing to lay out, however many there are.
    m_table->verticalHeader()->hide();
    m_table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    QHeaderView* columns = m_table->horizontalHeader();
    columns->setHighlightSections(false);
    columns->setStretchLastSection(true);

    m_detail = new QPlainTextEdit(splitter);
    m_detail->setObjectName(QStringLiteral("txtExchangeDetail"));
    m_detail->setReadOnly(true);
    m_detail->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_detail->setPlaceholderText(QStringLiteral("Select an exchange to see its frames field by field."));
    splitter->addWidget(m_chartArea);
    splitter->addWidget(m_table);
    splitter->addWidget(m_detail);
    splitter->setSizes({220, 170, 70});
    splitter->setStretchFactor(0, 1);
    splitter->setStretchFactor(1, 3);
    splitter->setStretchFactor(2, 1);
    layout->addWidget(splitter, 1);

    fitColumns();
    connect(model, &ExchangeLogModel::batchShown, this, &ExchangeLogPane::showBatch);
    connect(model, &QAbstractItemModel::rowsAboutToBeRemoved, this, &ExchangeLogPane::rowsComing);
    connect(model, &QAbstractItemModel::rowsAboutToBeInserted, this, &ExchangeLogPane::rowsComing);
    connect(model, &QAbstractItemModel::rowsInserted, this, &ExchangeLogPane::rowsCame);
    connect(model, &QAbstractItemModel::rowsRemoved, this,
            [this](const QModelIndex&, int first, int last) { rowsLeft(last - first + 1); });
    connect(m_table->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            &ExchangeLogPane::showDetail);
    connect(tracker, &WindowTracker::statisticsReset, this, &ExchangeLogPane::showCounts);
    showCounts();
}

void ExchangeLogPane::fitColumns()
{
    // Wide enough for what each column holds, in the pane's own face, so
    // that all seven fit the pane without a scroll bar; a failed row naming
    // several checks is elided, and spelled out in the detail view.
    const QFontMetrics metrics(m_table->font());
    const auto width = [&metrics](const char* sample) {
        return metrics.horizontalAdvance(QLatin1String(sample)) + 12;
    };
    m_table->verticalHeader()->setDefaultSectionSize(metrics.height() + 4);
    QHeaderView* columns = m_table->horizontalHeader();
    columns->resizeSection(ExchangeLogModel::Sequence, width("0000000"));
    columns->resizeSection(ExchangeLogModel::Time, width("00:00:00.000"));
    columns->resizeSection(ExchangeLogModel::InvokeId, width("Invoke ID"));
    columns->resizeSection(ExchangeLogModel::Outcome, width("lost: session ended, x"));
    columns->resizeSection(ExchangeLogModel::RoundTrip, width("0000.000 ms"));
    columns->resizeSection(ExchangeLogModel::RequestBytes, width("Request"));
    // The detail view in a monospace face of the pane's size.
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPointSize(std::max(font().pointSize(), 8));
    m_detail->setFont(mono);
}

void ExchangeLogPane::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        fitColumns();
}

void ExchangeLogPane::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // Hidden, the pane did no work; it catches up once.
    showBatch();
    if (m_followNewest)
        m_table->scrollToBottom();
}

void ExchangeLogPane::showCounts()
{
    m_counts->setText(countsText(*m_tracker));
    m_chart->dataChanged();
}

void ExchangeLogPane::showBatch()
{
    if (!isVisible())
        return;
    m_tracker->advance();
    showCounts();
    const quint64 dropped = m_model->dropped();
    m_dropped->setVisible(dropped > 0);
    if (dropped > 0) {
        m_dropped->setText(dropped == 1 ? QStringLiteral("1 older exchange dropped")
                                        : QStringLiteral("%1 older exchanges dropped").arg(number(dropped)));
    }
}

void ExchangeLogPane::rowsComing()
{
    const QScrollBar* bar = m_table->verticalScrollBar();
    m_followNewest = bar->value() >= bar->maximum();
}

void ExchangeLogPane::rowsCame()
{
    if (m_followNewest && isVisible())
        m_table->scrollToBottom();
}

void ExchangeLogPane::rowsLeft(int count)
{
    // The rows the user is reading stay where they are as older ones go.
    if (!m_followNewest) {
        QScrollBar* bar = m_table->verticalScrollBar();
        bar->setValue(std::max(0, bar->value() - count));
    }
}

void ExchangeLogPane::showDetail(const QModelIndex& current)
{
    if (!current.isValid() || current.row() >= m_model->rowCount()) {
        m_detail->clear();
        return;
    }
    const int row = current.row();
    const auto cell = [this, row](int column) {
        return m_model->data(m_model->index(row, column)).toString();
    };
    QString heading = cell(ExchangeLogModel::Sequence).isEmpty()
        ? QStringLiteral("Bytes at %1").arg(cell(ExchangeLogModel::Time))
        : QStringLiteral("#%1 sent at %2")
              .arg(cell(ExchangeLogModel::Sequence), cell(ExchangeLogModel::Time));
    heading += QStringLiteral(": ") + cell(ExchangeLogModel::Outcome);
    const QString roundTrip = cell(ExchangeLogModel::RoundTrip);
    if (!roundTrip.isEmpty())
        heading += QStringLiteral(", round trip ") + roundTrip;
    m_detail->setPlainText(heading + QStringLiteral("\n\n") + exchangeDetailText(m_model->exchangeAt(row)));
}
