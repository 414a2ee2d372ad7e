// SPDX-License-Identifier: GPL-3.0-or-later
// Titles as the window system holds them: the _NET_WM_NAME property that a
// window manager shows, read from a private X server, for the main window
// and the socket's message boxes. Qt may add to a title on its way to the
// server, so the widget's own windowTitle() is not enough.
#include "harness/loopback_peers.h"
#include "harness/private_settings.h"
#include "harness/xvfb_display.h"

#include "ui/application_identity.h"
#include "ui/form_main.h"
#include "ui/main_window.h"

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QWindow>
#include <QtTest>

#include <memory>

namespace {

// What a window's title reads on the X server, once Qt has put it there.
QString serverTitle(QWidget* window)
{
    const QString want = QStringLiteral("_NET_WM_NAME(UTF8_STRING) = ");
    QString got;
    // Another process reads it: give Qt's connection the time to flush.
    for (int i = 0; i < 100 && !got.startsWith(want); ++i) {
        got = xProperty(window->winId(), "_NET_WM_NAME");
        if (!got.startsWith(want))
            QTest::qWait(20);
    }
    if (!got.startsWith(want))
        return QStringLiteral("no title: ") + got;
    got = got.mid(want.size());
    return got.size() >= 2 ? got.mid(1, got.size() - 2) : got;
}

// Dismisses each message box once its title is on the server, noting it.
class BoxTitles {
public:
    BoxTitles()
    {
        m_timer.setInterval(20);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || !box->windowHandle() || !box->windowHandle()->isExposed())
                return;
            m_timer.stop();
            titles << serverTitle(box);
            QTest::keyClick(box, Qt::Key_Return);
            m_timer.start();
        });
        m_timer.start();
    }
    QStringList titles;

private:
    QTimer m_timer;
};

} // namespace

class TestWindowTitles : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void titles_data();
    void titles();

private:
    std::unique_ptr<PrivateSettings> m_settings;
};

void TestWindowTitles::initTestCase()
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        QSKIP("no X server to read titles from (needs Xvfb, package xvfb)");
    m_settings = std::make_unique<PrivateSettings>(QStringLiteral("tst_window_titles"));
    QVERIFY(m_settings->isValid());
}

void TestWindowTitles::titles_data()
{
    QTest::addColumn<QString>("scene");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QStringList>("titles"); // the window's, then each box's
    QTest::newRow("the window") << "start"
                                << "127.0.1.1" << QStringList{"Vexa Test"};
    QTest::newRow("the window with a request file open")
        << "file"
        << "127.0.1.2" << QStringList{"plant a.vexa \u2014 Vexa Test"};
    QTest::newRow("a refused connection") << "refused"
                                          << "127.0.1.3" << QStringList{"Vexa Test", "Winsock Error"};
    QTest::newRow("the module closing the connection")
        << "closed"
        << "127.0.1.4" << QStringList{"Vexa Test", "WinSock Message"};
}

void TestWindowTitles::titles()
{
    QFETCH(QString, scene);
    QFETCH(QString, address);
    QSettings().clear();
    std::unique_ptr<TcpPeer> peer(scene == QLatin1String("closed") ? new TcpPeer(address) : nullptr);
    MainWindow window;
    auto* form = window.findChild<FormMain*>();
    int ended = 0;
    form->setEndProgramAction([&ended] { ++ended; });
    if (scene == QLatin1String("file")) {
        const QString path = m_settings->filePath(QStringLiteral("plant a.vexa"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(R"({"format": "vexa-request", "version": 1, "request": {"command": "5400"}})");
        file.close();
        QVERIFY(window.openFile(path));
    }
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QStringList seen{serverTitle(&window)};

    if (scene == QLatin1String("refused") || scene == QLatin1String("closed")) {
        BoxTitles boxes;
        window.findChild<QLineEdit*>(QStringLiteral("txtIpAdd"))->setText(address);
        QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("cmdConnect")), Qt::LeftButton);
        if (peer) {
            QTRY_VERIFY(peer->socket());
            peer->socket()->disconnectFromHost();
        }
        QTRY_COMPARE_WITH_TIMEOUT(ended, 1, 10000);
        seen << boxes.titles;
    }
    QTEST(seen, "titles");
}

// The X server is started before the application, which then connects to
// it; without Xvfb every case is skipped.
int main(int argc, char* argv[])
{
    XvfbDisplay xvfb;
    if (xvfb.start())
        qputenv("QT_QPA_PLATFORM", "xcb");
    else
        qWarning("%s", qPrintable(xvfb.why()));
    QApplication app(argc, argv);
    applyApplicationIdentity();
    TestWindowTitles test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_window_titles.moc"
