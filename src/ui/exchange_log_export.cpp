// SPDX-License-Identifier: GPL-3.0-or-later
// Writing the exchange log as CSV through a save file.
#include "ui/exchange_log_export.h"

#include "report/exchange_csv.h"
#include "ui/exchange_log_model.h"

#include <QSaveFile>

namespace {

// Handed to the file in pieces of about this size: few writes, little memory.
constexpr qsizetype kChunk = 64 * 1024;

} // namespace

std::optional<QString> exportExchangeLog(const ExchangeLogModel& log, const QString& path)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString();
    QByteArray chunk;
    chunk.reserve(kChunk + 256);
    chunk += exchange_csv::kHeader;
    const auto put = [&file](const QByteArray& bytes) { return file.write(bytes) == bytes.size(); };
    const qint64 epochUs = log.epochUsAtZero();
    for (int row = 0; row < log.rowCount(); ++row) {
        chunk += exchange_csv::row(log.exchangeAt(row), epochUs);
        if (chunk.size() >= kChunk) {
            // The temporary file goes with `file`; the earlier one stays.
            if (!put(chunk))
                return file.errorString();
            chunk.resize(0);
        }
    }
    // Flushed and checked before the commit: a disk that fills while the
    // last buffer goes out fails the flush, yet Qt's commit would still put
    // the short file in place of the earlier one.
    if (!put(chunk) || !file.flush() || !file.commit())
        return file.errorString();
    return std::nullopt;
}
