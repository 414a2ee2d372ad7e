// SPDX-License-Identifier: GPL-3.0-or-later
// Sliding time bins, as a live chart of the last minute uses them: short
// scripts of replies, losses and the clock moving on, and the window's bins
// that came of them.
#include "session/time_bins.h"

#include <QRegularExpression>
#include <QStringList>
#include <QtTest>

namespace {

constexpr qint64 kMs = 1'000'000;

// Runs a script of space-separated steps, times in ms, on four bins of
// 100 ms:
//   R<t>=<rtt>  a reply to a request sent at t, its round trip rtt
//   L<t>        a request sent at t was lost
//   A<t>        the clock reaches t with nothing coming in
//   C           cleared
// and writes the window and each bin that holds anything:
// "<from>-<to>: <start>:<replies>r[<min>-<max>]<lost>l ...".
QString run(const QString& script)
{
    static const QRegularExpression step(QStringLiteral("^([RLAC])(\\d*)(?:=(\\d+))?$"));
    TimeBins bins(4, 100 * kMs, TimeBins::Window::Sliding);
    for (const QString& text : script.split(u' ', Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch m = step.match(text);
        if (!m.hasMatch())
            return QStringLiteral("bad step ") + text;
        const qint64 at = m.captured(2).toLongLong() * kMs;
        switch (m.captured(1).at(0).toLatin1()) {
        case 'R':
            bins.addReply(at, m.captured(3).toLongLong() * kMs);
            break;
        case 'L':
            bins.addLost(at);
            break;
        case 'A':
            bins.advanceTo(at);
            break;
        case 'C':
            bins.clear();
            break;
        }
    }
    QStringList shown;
    for (const TimeBins::Bin& bin : bins.bins()) {
        QString text = QString::number(bin.startNs / kMs) + u':';
        if (bin.replies)
            text += QStringLiteral("%1r[%2-%3]").arg(bin.replies).arg(bin.minNs / kMs).arg(bin.maxNs / kMs);
        if (bin.lost)
            text += QStringLiteral("%1l").arg(bin.lost);
        if (bin.endNs - bin.startNs != 100 * kMs)
            text += QStringLiteral("(%1 ms wide)").arg((bin.endNs - bin.startNs) / kMs);
        shown << text;
    }
    return QStringLiteral("%1-%2: ").arg(bins.windowStartNs() / kMs).arg(bins.windowEndNs() / kMs)
        + shown.join(u' ');
}

} // namespace

class TestTimeBins : public QObject {
    Q_OBJECT
private slots:
    void sliding_data();
    void sliding();
    void growingIsUnchangedBySliding();
};

void TestTimeBins::sliding_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("bins");
    QTest::newRow("nothing yet: the first window, empty") << ""
                                                          << "0-400: ";
    QTest::newRow("values land in the bin of their send time") << "R10=5 R99=9 R100=7 R399=8"
                                                               << "0-400: 0:2r[5-9] 100:1r[7-7] 300:1r[8-8]";
    QTest::newRow("a later value moves the window on and the oldest bin leaves")
        << "R10=5 R250=6 R430=7"
        << "100-500: 200:1r[6-6] 400:1r[7-7]";
    QTest::newRow("a bin used again a lap later holds its new values only") << "R10=5 R20=50 R410=7"
                                                                            << "100-500: 400:1r[7-7]";
    QTest::newRow("losses counted in their bin") << "L50 L60 R70=5 L350"
                                                 << "0-400: 0:1r[5-5]2l 300:1l";
    QTest::newRow("losses leave with their bin") << "L50 R150=5 L460"
                                                 << "100-500: 100:1r[5-5] 400:1l";
    QTest::newRow("a gap in time leaves empty bins") << "R10=5 R310=6"
                                                     << "0-400: 0:1r[5-5] 300:1r[6-6]";
    QTest::newRow("the clock moves the window on without values") << "R10=5 R150=6 A520"
                                                                  << "200-600: ";
    QTest::newRow("a silence longer than the window empties every bin")
        << "R10=5 R110=5 R210=5 R310=5 A2000 R2010=4"
        << "1700-2100: 2000:1r[4-4]";
    QTest::newRow("a value sent before the window is dropped") << "R1000=5 R100=9 L650"
                                                               << "700-1100: 1000:1r[5-5]";
    QTest::newRow("a value late in its own window still counts") << "R1000=5 R710=9"
                                                                 << "700-1100: 700:1r[9-9] 1000:1r[5-5]";
    QTest::newRow("the clock going back moves nothing") << "R1000=5 A10"
                                                        << "700-1100: 1000:1r[5-5]";
    QTest::newRow("cleared: the first window again") << "R1000=5 L900 C R20=6"
                                                     << "0-400: 0:1r[6-6]";
}

void TestTimeBins::sliding()
{
    QFETCH(QString, script);
    QTEST(run(script), "bins");
}

// The probe's whole-run plot: the same bins as before sliding existed,
// widening as the run outgrows them, from 0.
void TestTimeBins::growingIsUnchangedBySliding()
{
    TimeBins bins(4, 100 * kMs);
    bins.advanceTo(10'000 * kMs);
    bins.addReply(10 * kMs, 5 * kMs);
    bins.addReply(450 * kMs, 6 * kMs);
    QCOMPARE(bins.widthNs(), 200 * kMs);
    QCOMPARE(bins.windowStartNs(), 0);
    QCOMPARE(bins.windowEndNs(), 800 * kMs);
    const QVector<TimeBins::Bin> list = bins.bins();
    QCOMPARE(list.size(), 2);
    QCOMPARE(list[0].startNs, 0);
    QCOMPARE(list[1].startNs, 400 * kMs);
}

QTEST_APPLESS_MAIN(TestTimeBins)
#include "tst_time_bins.moc"
