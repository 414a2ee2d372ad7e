// SPDX-License-Identifier: GPL-3.0-or-later
// Memory figures from /proc/self/status (Linux); elsewhere they read 0.
#include "harness/resident_memory.h"

#include <QByteArray>
#include <QFile>
#include <QList>

long harness::statusKiB(const char* field)
{
    QFile file(QStringLiteral("/proc/self/status"));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray key = QByteArray(field) + ':';
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray& line : lines) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLong();
    }
    return 0;
}
