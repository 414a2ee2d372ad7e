// SPDX-License-Identifier: GPL-3.0-or-later
// The window under a stream of replies: repaints held to one per frame yet
// showing the latest texts, and Stop taking effect with the next reply.
#include "codec/frame_layout.h"
#include "net/socket_backends.h"
#include "ui/form_main.h"
#include "ui/frame_paced_repaint.h"

#include "harness/message_box_catcher.h"
#include "harness/module_sim_process.h"
#include "harness/paint_recorder.h"
#include "harness/window_driver.h"
#include "net/client_socket.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QVBoxLayout>
#include <QtTest>

namespace {

// A top-level window with one box, paced like the main window.
struct PacedWindow {
    PacedWindow()
    {
        auto* layout = new QVBoxLayout(&window);
        box = new QLineEdit(&window);
        layout->addWidget(box);
        pacing = new FramePacedRepaint(&window);
        window.show();
    }
    QWidget window;
    QLineEdit* box;
    FramePacedRepaint* pacing;
};

} // namespace

class TestResponsiveness : public QObject {
    Q_OBJECT
private slots:
    void burstIsPaintedOncePerFrame();
    void changeAfterQuietSpellIsPaintedAtOnce();
    void requestLeavesBeforeTheEventLoopRuns_data();
    void requestLeavesBeforeTheEventLoopRuns();
    void repeatedFramesRefillBoxesAndChangesAreSent();
    void stopTakesEffectWithTheNextReply_data();
    void stopTakesEffectWithTheNextReply();
};

void TestResponsiveness::burstIsPaintedOncePerFrame()
{
    PacedWindow w;
    QTRY_VERIFY(w.pacing->repaints() > 0);
    PaintRecorder window(&w.window);
    PaintRecorder box(w.box);

    // A new text on every pass of the event loop, as in continuous mode.
    QElapsedTimer clock;
    clock.start();
    constexpr int kChanges = 3000;
    for (int i = 0; i < kChanges; ++i) {
        w.box->setText(QString::number(i));
        QCoreApplication::processEvents();
    }
    const qint64 elapsed = clock.elapsed();
    // However fast or slow the passes were, paints are a frame apart.
    const int bound = static_cast<int>(elapsed / FramePacedRepaint::kFrameMs) + 2;
    QVERIFY2(window.paints <= bound,
             qPrintable(QStringLiteral("%1 paints in %2 ms").arg(window.paints).arg(elapsed)));
    QVERIFY(box.paints <= bound);

    // The held-back repaint still comes and shows the last text.
    const QString last = QString::number(kChanges - 1);
    QTRY_COMPARE(box.paintedText, last);
    // And a later change is painted too: the repaint machinery is not stuck.
    w.box->setText(QStringLiteral("after"));
    QTRY_COMPARE(box.paintedText, QStringLiteral("after"));
}

void TestResponsiveness::changeAfterQuietSpellIsPaintedAtOnce()
{
    PacedWindow w;
    QTRY_VERIFY(w.pacing->repaints() > 0);
    PaintRecorder box(w.box);
    QTest::qWait(2 * FramePacedRepaint::kFrameMs);
    w.box->setText(QStringLiteral("now"));
    // One pass of the event loop, no timer: nothing was painted for a frame.
    QCoreApplication::sendPostedEvents();
    QCOMPARE(box.paintedText, QStringLiteral("now"));
}

void TestResponsiveness::requestLeavesBeforeTheEventLoopRuns_data()
{
    QTest::addColumn<bool>("udp");
    QTest::newRow("tcp") << false;
    QTest::newRow("udp") << true;
}

// The response time is counted from the moment Send returns; a request
// still waiting in a socket buffer for the next pass of the event loop
// would add that wait to every reported time.
void TestResponsiveness::requestLeavesBeforeTheEventLoopRuns()
{
    QFETCH(bool, udp);
    if (!udp && !socketAbilities(defaultSocketBackend()).writesTcpBeforeReturning)
        QSKIP("plain Qt writes on the next pass of the event loop");
    const QString address = QStringLiteral("127.0.0.57");
    QTcpServer tcpPeer;
    QUdpSocket udpPeer;
    QVERIFY(tcpPeer.listen(QHostAddress(address), 2004));
    QVERIFY(udpPeer.bind(QHostAddress(address), 2005));
    WindowDriver form(address);
    if (udp)
        QTest::mouseClick(form.optUDP, Qt::LeftButton);
    QTest::mouseClick(form.cmdConnect, Qt::LeftButton);
    QTRY_VERIFY(form.cmdSend->isEnabled());
    QTcpSocket* accepted = udp ? nullptr : tcpPeer.nextPendingConnection();
    QVERIFY(udp || accepted);

    QTest::mouseClick(form.cmdSend, Qt::LeftButton);
    // Only the peer's descriptor is waited on: the window's event loop does
    // not run until the request has been seen.
    if (udp) {
        QVERIFY(udpPeer.waitForReadyRead(2000));
        QCOMPARE(udpPeer.pendingDatagramSize(), 38);
    } else {
        QVERIFY(accepted->waitForReadyRead(2000));
        QCOMPARE(accepted->readAll().size(), 38);
    }
}

// Texts of a repeated reply are not built again, but every box is still
// written: one cleared in between shows the reply again.
void TestResponsiveness::repeatedFramesRefillBoxesAndChangesAreSent()
{
    const QString address = QStringLiteral("127.0.0.58");
    ModuleSimProcess sim(address);
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    WindowDriver form(address);
    QTest::mouseClick(form.optUDP, Qt::LeftButton);
    QTest::mouseClick(form.cmdConnect, Qt::LeftButton);
    const WindowDriver::Count& replies = form.arrivals;
    QTest::mouseClick(form.cmdSend, Qt::LeftButton);
    QTRY_COMPARE(replies.size(), 1);
    const QString data = form.txtResData->text();
    const QString time = form.txtResTime->text();
    QVERIFY(!data.isEmpty());

    QList<QLineEdit*> cleared{form.txtResComId, form.txtResData,   form.txtResTime,
                              form.txtMaxTime,  form.txtReqLength, form.txtReqCheckSum};
    for (QLineEdit* box : cleared)
        box->clear();
    QTest::mouseClick(form.cmdSend, Qt::LeftButton);
    QTRY_COMPARE(replies.size(), 2);
    QCOMPARE(form.txtResComId->text(), QStringLiteral("KORV-TAMBE"));
    QCOMPARE(form.txtResData->text(), data);
    QVERIFY(!form.txtResTime->text().isEmpty());
    QVERIFY(!form.txtMaxTime->text().isEmpty());
    QCOMPARE(form.txtReqLength->text(), QStringLiteral("1200"));
    QCOMPARE(form.txtReqCheckSum->text(), QStringLiteral("1D"));

    // The request is not encoded again while its texts stay the same; a
    // changed text is sent.
    // anew rather than sent as it was left.
    form.txtReqData->setText(QStringLiteral("ab"));
    QTest::mouseClick(form.cmdSend, Qt::LeftButton);
    QTRY_COMPARE(replies.size(), 3);
    QCOMPARE(form.txtResData->text(), QStringLiteral("AB"));
    QCOMPARE(form.txtReqLength->text(), QStringLiteral("0900"));
    QCOMPARE(form.txtReqCheckSum->text(), QStringLiteral("14"));
}

void TestResponsiveness::stopTakesEffectWithTheNextReply_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("udp");
    QTest::newRow("tcp") << QStringLiteral("127.0.0.55") << false;
    QTest::newRow("udp") << QStringLiteral("127.0.0.56") << true;
}

void TestResponsiveness::stopTakesEffectWithTheNextReply()
{
    QFETCH(QString, address);
    QFETCH(bool, udp);
    ModuleSimProcess sim(address);
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    WindowDriver form(address);
    MessageBoxCatcher boxes;
    PaintRecorder resTime(form.txtResTime);
    PaintRecorder resData(form.txtResData);
    if (udp)
        QTest::mouseClick(form.optUDP, Qt::LeftButton);
    QTest::mouseClick(form.cmdConnect, Qt::LeftButton);
    QTRY_VERIFY(form.cmdCont->isEnabled());

    const WindowDriver::Count& replies = form.arrivals;
    QTest::mouseClick(form.cmdCont, Qt::LeftButton);
    // Let the chain run at full rate, then click Stop from the event loop
    // like a user would, between two replies.
    QTRY_VERIFY(replies.size() >= 200);
    qsizetype atClick = -1;
    QTimer::singleShot(0, &form.form, [&] {
        atClick = replies.size();
        QTest::mouseClick(form.cmdCont, Qt::LeftButton);
    });
    QTRY_VERIFY(atClick >= 0);
    QCOMPARE(form.cmdCont->text(), QStringLiteral("Cont"));

    // The request in flight is answered and shown; nothing more is sent, so
    // nothing more arrives.
    QTest::qWait(300);
    QVERIFY2(replies.size() - atClick <= 1,
             qPrintable(QStringLiteral("%1 replies after Stop").arg(replies.size() - atClick)));

    // The screen shows what the boxes hold.
    QCOMPARE(form.txtResData->text(), QStringLiteral("0800255157302E302E30"));
    QTRY_COMPARE(resData.paintedText, form.txtResData->text());
    QTRY_COMPARE(resTime.paintedText, form.txtResTime->text());
    QCOMPARE(boxes.count(), 0);
    QCOMPARE(form.ended, 0);
}

QTEST_MAIN(TestResponsiveness)
#include "tst_responsiveness.moc"
