// The main window: its controls from the layout table, and the window
// operations through which the session code reads and writes them.
#include "ui/form_main.h"

#include "ui/form_layout.h"
#include "ui/frame_paced_repaint.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFont>
#include <QGroupBox>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>

#include <algorithm>
#include <vector>

namespace {

QRect twipsRect(const form::ControlSpec& row)
{
    return QRect(form::pixels(row.left), form::pixels(row.top), form::pixels(row.width),
                 form::pixels(row.height));
}

QWidget* makeControl(const form::ControlSpec& row, QWidget* container)
{
    const QString text = QString::fromUtf8(row.text);
    switch (row.kind) {
    case form::Kind::Frame:
        return new QGroupBox(text, container);
    case form::Kind::Label:
        return new QLabel(text, container);
    case form::Kind::TextBox: {
        auto* box = new QLineEdit(container);
        if (row.limit > 0)
            box->setMaxLength(row.limit);
        box->setText(text);
        box->setCursorPosition(0);
        return box;
    }
    case form::Kind::Option: {
        auto* option = new QRadioButton(text, container);
        option->setChecked(row.selected);
        return option;
    }
    case form::Kind::Button:
        return new QPushButton(text, container);
    }
    return nullptr;
}

} // namespace

FormMain::FormMain(QWidget* parent)
    : QWidget(parent)
    , tcpClient(new ClientSocket(this))
    , m_endProgramAction([] { QCoreApplication::exit(0); })
{
    setObjectName(QStringLiteral("formMain"));
    // The layout was drawn for a compact 8-point sans-serif face; these have
    // its metrics, so every caption fits beside its box.
    QFont face;
    face.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
                      QStringLiteral("Nimbus Sans"), QStringLiteral("DejaVu Sans")});
    face.setPointSize(8);
    setFont(face);
    setWindowTitle(QString::fromUtf8(form::kTitle));
    setFixedSize(form::pixels(form::kClientWidth), form::pixels(form::kClientHeight));
    buildControls();
    applyTabOrder();
    connectEvents();
    // In continuous mode the boxes change with every reply, thousands of
    // times a second; painting each change would cost more than the whole
    // request/reply cycle, and no eye sees more than one frame of them.
    new FramePacedRepaint(this);
    Form_Load();
    txtIpAdd->setFocus(Qt::OtherFocusReason);
}

FormMain::~FormMain() = default;

void FormMain::buildControls()
{
    QHash<QString, QWidget*> byName;
    for (const form::ControlSpec& row : form::kControls) {
        QWidget* container = row.container ? byName.value(QString::fromLatin1(row.container)) : this;
        QWidget* control = makeControl(row, container);
        const QString name = QString::fromLatin1(row.name);
        control->setObjectName(name);
        control->setGeometry(twipsRect(row));
        // Labels fit their caption in the face at hand; Protocol keeps its box.
        if (row.kind == form::Kind::Label && name != QLatin1String("Label1"))
            control->resize(control->sizeHint());
        control->setEnabled(row.enabled);
        byName.insert(name, control);
    }
    auto get = [&byName](auto*& member, const char* name) {
        member =
            qobject_cast<std::remove_reference_t<decltype(member)>>(byName.value(QString::fromLatin1(name)));
        Q_ASSERT(member);
    };
    get(frmTCP, "frmTCP");
    get(frmReqHeader, "frmReqHeader");
    get(Frame2, "Frame2");
    get(Frame3, "Frame3");
    get(Frame1, "Frame1");
    get(txtIpAdd, "txtIpAdd");
    get(optTCP, "optTCP");
    get(optUDP, "optUDP");
    get(txtReqComId, "txtReqComId");
    get(txtReqSrc, "txtReqSrc");
    get(txtReqInvokeId, "txtReqInvokeId");
    get(txtReqLength, "txtReqLength");
    get(txtReqCheckSum, "txtReqCheckSum");
    get(txtResComId, "txtResComId");
    get(txtResSrc, "txtResSrc");
    get(txtResInvokeId, "txtResInvokeId");
    get(txtResLength, "txtResLength");
    get(txtResCheckSum, "txtResCheckSum");
    get(txtReqCmnd, "txtReqCmnd");
    get(txtReqDataType, "txtReqDataType");
    get(txtReqVarNo, "txtReqVarNo");
    get(txtReqData, "txtReqData");
    get(txtResCmnd, "txtResCmnd");
    get(txtResDataType, "txtResDataType");
    get(txtResState, "txtResState");
    get(txtResCode, "txtResCode");
    get(txtResData, "txtResData");
    get(txtResTime, "txtResTime");
    get(txtMinTime, "txtMinTime");
    get(txtMaxTime, "txtMaxTime");
    get(cmdConnect, "cmdConnect");
    get(cmdSend, "cmdSend");
    get(cmdCont, "cmdCont");
    get(cmdClose, "cmdClose");

    for (const form::AccessibleName& entry : form::kAccessibleNames)
        byName.value(QString::fromLatin1(entry.control))->setAccessibleName(QString::fromUtf8(entry.name));

    // Tab reaches the option group through its selected option only.
    optUDP->setFocusPolicy(Qt::ClickFocus);
}

void FormMain::applyTabOrder()
{
    std::vector<const form::ControlSpec*> rows;
    for (const form::ControlSpec& row : form::kControls) {
        if (row.kind != form::Kind::Frame && row.kind != form::Kind::Label)
            rows.push_back(&row);
    }
    std::sort(rows.begin(), rows.end(),
              [](const auto* a, const auto* b) { return a->tabIndex < b->tabIndex; });
    QWidget* previous = nullptr;
    for (const form::ControlSpec* row : rows) {
        auto* control = findChild<QWidget*>(QString::fromLatin1(row->name));
        if (previous)
            setTabOrder(previous, control);
        previous = control;
    }
}

QString FormMain::GetText(const QLineEdit* box) const
{
    return box->text();
}

void FormMain::SetText(QLineEdit* box, const QString& text)
{
    // An unchanged text needs no repaint; replies often repeat fields.
    if (box->text() == text)
        return;
    box->setText(text);
    // Show the start of a long text (the data), as a fresh box would.
    box->setCursorPosition(0);
}

bool FormMain::IsSelected(const QRadioButton* option) const
{
    return option->isChecked();
}

void FormMain::SetSelected(QRadioButton* option)
{
    option->setChecked(true);
}

void FormMain::SetEnabled(QWidget* control, bool enabled)
{
    control->setEnabled(enabled);
}

void FormMain::SetCaption(QAbstractButton* button, const QString& caption)
{
    button->setText(caption);
}

void FormMain::SetMousePointer(MousePointer pointer)
{
    if (pointer == m_pointer)
        return;
    // An override cursor covers the window and every control in it, text
    // boxes with their own I-beam included.
    if (pointer == MousePointer::Hourglass)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
    m_pointer = pointer;
}

void FormMain::ShowMessage(const QString& prompt, const QString& title)
{
    QMessageBox box(QMessageBox::Critical, title, prompt, QMessageBox::Ok, this);
    box.exec();
}

void FormMain::EndProgram()
{
    m_ended = true;
    SetMousePointer(MousePointer::Default);
    if (m_endProgramAction)
        m_endProgramAction();
}

void FormMain::closeEvent(QCloseEvent* event)
{
    Form_Unload();
    event->accept();
}
