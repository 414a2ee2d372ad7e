// SPDX-License-Identifier: GPL-3.0-or-later
// The main window at start: texts, limits, enabled states, options, tab order.
#include "ui/form_main.h"

#include <QGroupBox>
#include <QHelpEvent>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyleOptionGroupBox>
#include <QtTest>

namespace {

// A control of the window, found as any test finds it: by its objectName.
template <typename T> T* control(const FormMain& form, const char* name)
{
    return form.findChild<T*>(QString::fromLatin1(name));
}

// Relative luminance of a colour as WCAG defines it.
double luminance(QRgb rgb)
{
    auto linear = [](int c) {
        const double v = c / 255.0;
        return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(qRed(rgb)) + 0.7152 * linear(qGreen(rgb)) + 0.0722 * linear(qBlue(rgb));
}

} // namespace

class TestFormMain : public QObject {
    Q_OBJECT
private slots:
    void window();
    void startTexts_data();
    void startTexts();
    void inputLimits_data();
    void inputLimits();
    void startEnabled_data();
    void startEnabled();
    void optionsAreExclusive();
    void tabOrder_data();
    void tabOrder();
    void disabledBoxesShowWrittenText();
    void responseHeaderIsReadable_data();
    void responseHeaderIsReadable();
    void labelsDoNotOverlapTheirBoxes();
    void boxesLieInsideTheirFrames_data();
    void boxesLieInsideTheirFrames();
    void accessibleNames();
    void timeToolTipLeavesTheButtonsFree();
};

void TestFormMain::window()
{
    FormMain form;
    QCOMPARE(form.windowTitle(), QStringLiteral("Vexa Test"));
    QCOMPARE(form.objectName(), QStringLiteral("formMain"));
    QCOMPARE(form.size(), QSize(450, 486)); // 6750 x 7290 twips
    QCOMPARE(form.findChildren<QWidget*>().size(), 59);
    QCOMPARE(form.findChild<QLineEdit*>("txtReqData")->geometry(), QRect(16, 72, 393, 20));
    QCOMPARE(form.findChild<QPushButton*>("cmdClose")->geometry(), QRect(280, 456, 73, 25));
    QCOMPARE(form.findChild<QGroupBox*>("Frame2")->geometry(), QRect(232, 72, 201, 137));
}

void TestFormMain::startTexts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    const char* rows[][2] = {
        {"frmTCP", "TCP/IP"},
        {"frmReqHeader", "Request Header"},
        {"Frame2", "Response Header"},
        {"Frame3", "Request"},
        {"Frame1", "Response"},
        {"lblIP", "Remote IP Address"},
        {"txtIpAdd", "127.0.0.1"},
        {"Label1", "Protocol"},
        {"optTCP", "TCP"},
        {"optUDP", "UDP"},
        {"lblt1", "Com ID"},
        {"txtReqComId", "KORV-TAMBE"},
        {"lblt2", "Source"},
        {"txtReqSrc", "33"},
        {"lblt3", "Invoke ID"},
        {"txtReqInvokeId", "0000"},
        {"lblt4", "Length"},
        {"txtReqLength", ""},
        {"lblt5", "CheckSum"},
        {"txtReqCheckSum", ""},
        {"Label13", "Com ID"},
        {"Label12", "Source"},
        {"Label14", "Invoke ID"},
        {"Label11", "Length"},
        {"Label15", "Check Sum"},
        {"Label2", "Command"},
        {"txtReqCmnd", "5400"},
        {"Label3", "Data Type"},
        {"txtReqDataType", "0100"},
        {"Label4", "Var No"},
        {"txtReqVarNo", "1000"},
        {"Label5", "Data (from \"Variable Length\")"},
        {"txtReqData", "0800255157302E302E30"},
        {"Label6", "Command"},
        {"Label7", "Data Type"},
        {"Label8", "State"},
        {"Label9", "Code/No"},
        {"Label10", "Data"},
        {"Label19", "Response Time"},
        {"Label18", "(msec)"},
        {"Label17", "Min"},
        {"Label16", "Max"},
        {"cmdConnect", "Connect"},
        {"cmdSend", "Send"},
        {"cmdCont", "Cont"},
        {"cmdClose", "Close"},
    };
    for (const auto& row : rows)
        QTest::newRow(row[0]) << row[0] << row[1];
    for (const char* empty : {"txtResComId", "txtResSrc", "txtResInvokeId", "txtResLength", "txtResCheckSum",
                              "txtResCmnd", "txtResDataType", "txtResState", "txtResCode", "txtResData",
                              "txtResTime", "txtMinTime", "txtMaxTime"})
        QTest::newRow(empty) << empty << "";
}

void TestFormMain::startTexts()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    FormMain form;
    QWidget* control = form.findChild<QWidget*>(name);
    QVERIFY(control);
    if (auto* box = qobject_cast<QLineEdit*>(control))
        QCOMPARE(box->text(), text);
    else if (auto* label = qobject_cast<QLabel*>(control))
        QCOMPARE(label->text(), text);
    else if (auto* button = qobject_cast<QAbstractButton*>(control))
        QCOMPARE(button->text(), text);
    else if (auto* frame = qobject_cast<QGroupBox*>(control))
        QCOMPARE(frame->title(), text);
    else
        QFAIL("unexpected kind of control");
}

void TestFormMain::inputLimits_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("limit"); // 0: none
    QTest::newRow("txtReqComId") << "txtReqComId" << 10;
    QTest::newRow("txtReqSrc") << "txtReqSrc" << 2;
    QTest::newRow("txtReqCheckSum") << "txtReqCheckSum" << 2;
    QTest::newRow("txtReqInvokeId") << "txtReqInvokeId" << 4;
    QTest::newRow("txtReqLength") << "txtReqLength" << 4;
    QTest::newRow("txtReqCmnd") << "txtReqCmnd" << 4;
    QTest::newRow("txtReqDataType") << "txtReqDataType" << 4;
    QTest::newRow("txtReqVarNo") << "txtReqVarNo" << 4;
    for (const char* open : {"txtIpAdd", "txtReqData", "txtResCmnd", "txtResDataType", "txtResState",
                             "txtResCode", "txtResData", "txtResTime", "txtMinTime", "txtMaxTime"})
        QTest::newRow(open) << open << 0;
}

void TestFormMain::inputLimits()
{
    QFETCH(QString, name);
    QFETCH(int, limit);
    FormMain form;
    form.show();
    auto* box = form.findChild<QLineEdit*>(name);
    box->setFocus();
    box->clear();
    const int typed = limit ? limit + 1 : 600;
    QTest::keyClicks(box, QString(typed, u'7'));
    QCOMPARE(box->text().size(), limit ? limit : typed);
    // The box accepts anything, hexadecimal or not.
    box->clear();
    QTest::keyClicks(box, QStringLiteral("zZ"));
    QCOMPARE(box->text(), limit == 1 ? QStringLiteral("z") : QStringLiteral("zZ"));
}

void TestFormMain::startEnabled_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("enabled");
    for (const char* off : {"cmdSend", "cmdCont", "txtResComId", "txtResSrc", "txtResInvokeId",
                            "txtResLength", "txtResCheckSum"})
        QTest::newRow(off) << off << false;
    for (const char* on : {"cmdConnect", "cmdClose", "txtIpAdd", "optTCP", "optUDP", "txtReqComId",
                           "txtReqLength", "txtReqCheckSum", "txtReqData", "txtResCmnd", "txtResData",
                           "txtResTime", "txtMinTime", "txtMaxTime"})
        QTest::newRow(on) << on << true;
}

void TestFormMain::startEnabled()
{
    QFETCH(QString, name);
    FormMain form;
    QTEST(form.findChild<QWidget*>(name)->isEnabled(), "enabled");
}

void TestFormMain::optionsAreExclusive()
{
    FormMain form;
    form.show();
    QVERIFY(control<QRadioButton>(form, "optTCP")->isChecked());
    QVERIFY(!control<QRadioButton>(form, "optUDP")->isChecked());
    QTest::mouseClick(control<QRadioButton>(form, "optUDP"), Qt::LeftButton);
    QVERIFY(control<QRadioButton>(form, "optUDP")->isChecked());
    QVERIFY(!control<QRadioButton>(form, "optTCP")->isChecked());
    QCOMPARE(control<QPushButton>(form, "cmdConnect")->text(), QStringLiteral("Start"));
    QTest::mouseClick(control<QRadioButton>(form, "optTCP"), Qt::LeftButton);
    QVERIFY(control<QRadioButton>(form, "optTCP")->isChecked());
    QVERIFY(!control<QRadioButton>(form, "optUDP")->isChecked());
    QCOMPARE(control<QPushButton>(form, "cmdConnect")->text(), QStringLiteral("Connect"));

    // The arrow keys move the choice within the group, as in any option group.
    QVERIFY(QTest::qWaitForWindowActive(&form));
    control<QRadioButton>(form, "optTCP")->setFocus();
    QTest::keyClick(control<QRadioButton>(form, "optTCP"), Qt::Key_Right);
    QVERIFY(control<QRadioButton>(form, "optUDP")->isChecked());
    QCOMPARE(control<QPushButton>(form, "cmdConnect")->text(), QStringLiteral("Start"));
}

void TestFormMain::tabOrder_data()
{
    QTest::addColumn<bool>("udp"); // the option chosen before the walk
    QTest::addColumn<QString>("from");
    QTest::addColumn<bool>("backward"); // Shift+Tab
    QTest::addColumn<QStringList>("expected");

    // Send and Cont start disabled and are skipped; the option group is
    // reached through its selected option.
    const QStringList forward{
        "optTCP",      "txtReqInvokeId", "txtReqCmnd",   "txtReqDataType", "txtReqVarNo", "txtReqData",
        "txtResCmnd",  "txtResDataType", "txtResState",  "txtResCode",     "txtResData",  "cmdConnect",
        "txtReqComId", "txtReqSrc",      "txtReqLength", "txtReqCheckSum", "cmdClose",    "txtMaxTime",
        "txtMinTime",  "txtResTime",     "txtIpAdd"};
    QStringList backward(forward.crbegin() + 1, forward.crend());
    backward << "txtIpAdd";
    QTest::newRow("Tab walks the window, TCP chosen") << false << "txtIpAdd" << false << forward;
    QTest::newRow("Shift+Tab walks it back, TCP chosen") << false << "txtIpAdd" << true << backward;
    QTest::newRow("Tab lands on UDP when it is chosen")
        << true << "txtIpAdd" << false << QStringList{"optUDP", "txtReqInvokeId"};
    QTest::newRow("Shift+Tab lands on UDP when it is chosen")
        << true << "txtReqInvokeId" << true << QStringList{"optUDP", "txtIpAdd"};
}

void TestFormMain::tabOrder()
{
    QFETCH(bool, udp);
    QFETCH(QString, from);
    QFETCH(bool, backward);
    QFETCH(QStringList, expected);
    FormMain form;
    form.show();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QCOMPARE(QApplication::focusWidget(), control<QLineEdit>(form, "txtIpAdd"));

    control<QRadioButton>(form, udp ? "optUDP" : "optTCP")->setChecked(true);
    form.findChild<QWidget*>(from)->setFocus();
    QStringList walked;
    for (int i = 0; i < expected.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), backward ? Qt::Key_Backtab : Qt::Key_Tab,
                        backward ? Qt::ShiftModifier : Qt::NoModifier);
        walked << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(walked, expected);
}

void TestFormMain::disabledBoxesShowWrittenText()
{
    FormMain form;
    for (QLineEdit* box :
         {control<QLineEdit>(form, "txtResComId"), control<QLineEdit>(form, "txtResSrc"),
          control<QLineEdit>(form, "txtResInvokeId"), control<QLineEdit>(form, "txtResLength"),
          control<QLineEdit>(form, "txtResCheckSum")}) {
        QVERIFY(!box->isEnabled());
        QCOMPARE(box->focusPolicy() != Qt::NoFocus && box->isEnabled(), false);
        box->setText(QStringLiteral("5A"));
        QCOMPARE(box->text(), QStringLiteral("5A"));
    }
}

void TestFormMain::responseHeaderIsReadable_data()
{
    QTest::addColumn<QString>("name");
    for (const char* name : {"txtResComId", "txtResSrc", "txtResInvokeId", "txtResLength", "txtResCheckSum"})
        QTest::newRow(name) << name;
}

// Disabled, yet drawn dark enough to read: the text pixel farthest from the
// background against the background (the empty right end of the box), as the
// window is painted at the screen's device pixel ratio.
void TestFormMain::responseHeaderIsReadable()
{
    QFETCH(QString, name);
    FormMain form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    auto* box = form.findChild<QLineEdit*>(name);
    box->setText(QStringLiteral("5A"));
    const QImage shot = form.grab().toImage();
    const qreal ratio = shot.devicePixelRatio();
    if (qEnvironmentVariableIsSet("QT_SCALE_FACTOR"))
        QCOMPARE(ratio, qEnvironmentVariable("QT_SCALE_FACTOR").toDouble());
    const QRect inside = QRect(box->mapTo(&form, QPoint(0, 0)), box->size()).adjusted(3, 3, -3, -3);
    const QRect pixels(inside.topLeft() * ratio, inside.size() * ratio);
    const double background = luminance(shot.pixel(pixels.right(), pixels.center().y()));
    double contrast = 1;
    for (int y = pixels.top(); y <= pixels.bottom(); ++y) {
        for (int x = pixels.left(); x <= pixels.right(); ++x) {
            const auto [dark, light] = std::minmax({luminance(shot.pixel(x, y)), background});
            contrast = std::max(contrast, (light + 0.05) / (dark + 0.05));
        }
    }
    QVERIFY(!box->isEnabled());
    QVERIFY2(contrast >= 4.5, qPrintable(QStringLiteral("%1:1 at ratio %2").arg(contrast).arg(ratio)));
}

void TestFormMain::labelsDoNotOverlapTheirBoxes()
{
    // Each label against the box that follows it on the same row.
    const char* pairs[][2] = {
        {"lblt1", "txtReqComId"},      {"lblt3", "txtReqInvokeId"}, {"lblt5", "txtReqCheckSum"},
        {"Label15", "txtResCheckSum"}, {"Label2", "txtReqCmnd"},    {"Label3", "txtReqDataType"},
        {"Label4", "txtReqVarNo"},     {"Label6", "txtResCmnd"},    {"Label7", "txtResDataType"},
        {"Label8", "txtResState"},     {"Label9", "txtResCode"},    {"Label19", "txtResTime"},
        {"Label18", "Label17"},        {"Label17", "txtMinTime"},   {"Label16", "txtMaxTime"},
    };
    FormMain form;
    for (const auto& pair : pairs) {
        auto* label = form.findChild<QLabel*>(pair[0]);
        auto* next = form.findChild<QWidget*>(pair[1]);
        QVERIFY2(label->geometry().right() < next->geometry().left(), pair[0]);
        QVERIFY2(label->width() >= label->sizeHint().width(), pair[0]);
    }
}

void TestFormMain::boxesLieInsideTheirFrames_data()
{
    QTest::addColumn<QString>("frame");
    QTest::addColumn<int>("boxes"); // how many text boxes stand in it
    QTest::newRow("TCP/IP") << "frmTCP" << 1;
    QTest::newRow("Request Header") << "frmReqHeader" << 5;
    QTest::newRow("Response Header") << "Frame2" << 5;
    QTest::newRow("Request") << "Frame3" << 4;
    QTest::newRow("Response") << "Frame1" << 5;
}

// Each box stands below its frame's caption and clear of its border, so that
// none is cut off or drawn over the line around it.
void TestFormMain::boxesLieInsideTheirFrames()
{
    QFETCH(QString, frame);
    QFETCH(int, boxes);
    FormMain form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    auto* group = form.findChild<QGroupBox*>(frame);
    QStyleOptionGroupBox option;
    option.initFrom(group);
    option.text = group->title();
    option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
    const QRect caption =
        group->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, group);
    const QRect inside = group->style()
                             ->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxFrame, group)
                             .adjusted(1, 1, -1, -1);
    const QList<QLineEdit*> found = group->findChildren<QLineEdit*>(Qt::FindDirectChildrenOnly);
    QCOMPARE(found.size(), boxes);
    for (const QLineEdit* box : found) {
        const QString where = QStringLiteral("%1 at (%2, %3) %4x%5 in (%6, %7) %8x%9 below %10")
                                  .arg(box->objectName())
                                  .arg(box->x())
                                  .arg(box->y())
                                  .arg(box->width())
                                  .arg(box->height())
                                  .arg(inside.x())
                                  .arg(inside.y())
                                  .arg(inside.width())
                                  .arg(inside.height())
                                  .arg(caption.bottom());
        QVERIFY2(inside.contains(box->geometry()), qPrintable(where));
        QVERIFY2(box->geometry().top() > caption.bottom(), qPrintable(where));
    }
}

void TestFormMain::accessibleNames()
{
    FormMain form;
    // Every text box has a name of its own; buttons and options are found by caption.
    QSet<QString> names;
    for (const QLineEdit* box : form.findChildren<QLineEdit*>()) {
        QVERIFY2(!box->accessibleName().isEmpty(), qPrintable(box->objectName()));
        names.insert(box->accessibleName());
    }
    QCOMPARE(names.size(), 23);
    QCOMPARE(control<QLineEdit>(form, "txtReqCmnd")->accessibleName(), QStringLiteral("Request Command"));
    QCOMPARE(control<QLineEdit>(form, "txtResState")->accessibleName(), QStringLiteral("Response State"));
    QCOMPARE(control<QLineEdit>(form, "txtResCheckSum")->accessibleName(),
             QStringLiteral("Response Check Sum"));
    QCOMPARE(control<QLineEdit>(form, "txtMinTime")->accessibleName(), QStringLiteral("Min Response Time"));
}

// The Response Time box's tooltip opens above the box: below it, it would
// lie over the buttons, where the next click lands on the tip.
void TestFormMain::timeToolTipLeavesTheButtonsFree()
{
    FormMain form;
    form.move(100, 100);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    auto* time = form.findChild<QLineEdit*>("txtResTime");
    QVERIFY(!time->toolTip().isEmpty());
    const QPoint at(time->width() / 2, time->height() / 2);
    QHelpEvent help(QEvent::ToolTip, at, time->mapToGlobal(at));
    QApplication::sendEvent(time, &help);
    QWidget* tip = nullptr;
    QTRY_VERIFY((tip = [] {
        for (QWidget* top : QApplication::topLevelWidgets()) {
            if (top->inherits("QTipLabel") && top->isVisible())
                return top;
        }
        return static_cast<QWidget*>(nullptr);
    }()));
    const QRect tipRect = tip->geometry(); // a tip has no frame of its own
    const QRect boxRect(time->mapToGlobal(QPoint(0, 0)), time->size());
    QVERIFY2(tipRect.bottom() < boxRect.top(),
             qPrintable(QStringLiteral("tip %1,%2 %3x%4 over the box at %5")
                            .arg(tipRect.x())
                            .arg(tipRect.y())
                            .arg(tipRect.width())
                            .arg(tipRect.height())
                            .arg(boxRect.y())));
    for (const char* name : {"cmdConnect", "cmdSend", "cmdCont", "cmdClose"}) {
        auto* button = form.findChild<QPushButton*>(name);
        QVERIFY(!tipRect.intersects(QRect(button->mapToGlobal(QPoint(0, 0)), button->size())));
    }
}

QTEST_MAIN(TestFormMain)
#include "tst_form_main.moc"
