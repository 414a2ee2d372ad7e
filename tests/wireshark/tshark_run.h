// SPDX-License-Identifier: GPL-3.0-or-later
// Reads a capture with Debian's tshark and the project's dissector, and
// gives back the fields it prints.
#pragma once

#include <QString>
#include <QStringList>

struct TsharkResult {
    bool ran = false; // it started and exited with status 0
    QStringList lines; // one per packet that the filter kept
    QString errors; // what it said on stderr, for a failure message
};

// The tshark on PATH, or empty when it is not installed.
QString tsharkProgram();

// Reads `capture` in two passes (so that a request knows its response)
// with the dissector loaded, `options` before the rest (preferences,
// Decode As), and prints `fields` of every packet that `filter` keeps, each
// line "field|field|...", several occurrences joined by ",".
TsharkResult readFields(const QString& capture, const QStringList& fields, const QString& filter = "vexa",
                        const QStringList& options = {});
