// SPDX-License-Identifier: GPL-3.0-or-later
// tshark run as a process on a finished capture.
#include "tshark_run.h"

#include <QProcess>
#include <QStandardPaths>

QString tsharkProgram()
{
    return QStandardPaths::findExecutable(QStringLiteral("tshark"));
}

namespace {

struct Run {
    bool ok = false;
    QStringList lines;
    QString errors;
};

Run runTshark(const QString& capture, const QStringList& options, const QString& filter,
              const QStringList& fields)
{
    QStringList arguments{"-n", "-2", "-r", capture, "-X", QStringLiteral("lua_script:" VEXA_DISSECTOR_PATH)};
    arguments << options << "-Y" << filter << "-T"
              << "fields"
              << "-E"
              << "separator=|";
    for (const QString& field : fields)
        arguments << "-e" << field;
    QProcess process;
    process.start(tsharkProgram(), arguments);
    Run run;
    const bool finished = process.waitForFinished(60000);
    run.ok = finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    run.errors = QString::fromLocal8Bit(process.readAllStandardError());
    for (const QString& line : QString::fromUtf8(process.readAllStandardOutput()).split('\n')) {
        if (!line.isEmpty())
            run.lines << line;
    }
    return run;
}

} // namespace

TsharkResult readFields(const QString& capture, const QStringList& fields, const QString& filter,
                        const QStringList& options)
{
    const Run run = runTshark(capture, options, filter, fields);
    // A Lua error does not fail tshark: it lands in the packet's tree, and
    // a field the script never added would then just be missing.
    const Run luaErrors =
        runTshark(capture, options, "_ws.lua.error", {"frame.number", "_ws.expert.message"});
    TsharkResult result;
    result.ran = run.ok && luaErrors.ok && luaErrors.lines.isEmpty();
    result.lines = run.lines;
    result.errors = run.errors + luaErrors.errors + luaErrors.lines.join('\n');
    return result;
}
