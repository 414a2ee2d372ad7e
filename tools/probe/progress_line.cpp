// SPDX-License-Identifier: GPL-3.0-or-later
// Progress on stderr, drawn with a carriage return and erase-to-end-of-line.
#include "progress_line.h"

#include <QTimer>

#include <cstdio>

namespace {

constexpr int kRedrawMs = 250;

} // namespace

ProgressLine::ProgressLine(bool enabled, qint64 count, qint64 deadlineMs, QObject* parent)
    : QObject(parent)
    , m_enabled(enabled && (count > 0 || deadlineMs > 0))
    , m_count(count)
    , m_deadlineMs(deadlineMs)
{
}

QString ProgressLine::text(quint64 sent, quint64 lost, qint64 elapsedNs, qint64 count, qint64 deadlineMs)
{
    const double seconds = double(elapsedNs) / 1e9;
    QString done =
        count > 0 ? QStringLiteral("%1/%2 sent").arg(sent).arg(count) : QStringLiteral("%1 sent").arg(sent);
    if (deadlineMs > 0) {
        done +=
            QStringLiteral("  %1/%2 s")
                .arg(QString::number(seconds, 'f', 1), QString::number(double(deadlineMs) / 1000.0, 'g', 6));
    }
    const double rate = seconds > 0 ? double(sent) / seconds : 0.0;
    const double lostShare = sent ? 100.0 * double(lost) / double(sent) : 0.0;
    return QStringLiteral("%1  %2 req/s  %3 lost (%4%)")
        .arg(done, QString::number(rate, 'f', 1), QString::number(lost), QString::number(lostShare, 'f', 2));
}

void ProgressLine::start(std::function<Snapshot()> source)
{
    if (!m_enabled)
        return;
    m_source = std::move(source);
    m_timer = new QTimer(this);
    connect(m_timer, &QTimer::timeout, this, &ProgressLine::draw);
    m_timer->start(kRedrawMs);
}

void ProgressLine::draw()
{
    if (!m_enabled)
        return;
    const Snapshot now = m_source();
    const QByteArray line = text(now.sent, now.lost, now.elapsedNs, m_count, m_deadlineMs).toLocal8Bit();
    std::fprintf(stderr, "\r%s\x1b[K", line.constData());
    std::fflush(stderr);
    m_shown = true;
}

void ProgressLine::clear()
{
    if (!m_shown)
        return;
    std::fputs("\r\x1b[K", stderr);
    std::fflush(stderr);
    m_shown = false;
}

void ProgressLine::stop()
{
    if (m_timer)
        m_timer->stop();
    clear();
    m_enabled = false;
}
