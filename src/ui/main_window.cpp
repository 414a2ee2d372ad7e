// SPDX-License-Identifier: GPL-3.0-or-later
// The top-level window: menus, request files, drops, the title and the
// remembered texts, around the form that does the work.
#include "ui/main_window.h"

#include "codec/request_file.h"
#include "ui/exchange_log_export.h"
#include "ui/exchange_log_model.h"
#include "ui/exchange_log_pane.h"
#include "ui/form_layout.h"
#include "ui/round_trip_chart.h"
#include "ui/window_tracker.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QSettings>
#include <QStatusBar>
#include <QUrl>

#include <optional>

static_assert(MainWindow::kMinReplyTimeoutMs == kMinReplyTimeoutMs
              && MainWindow::kMaxReplyTimeoutMs == kMaxReplyTimeoutMs);

// The open file, and what it held when it was opened or last saved.
struct MainWindow::Document {
    QString path; // empty: no file
    RequestSetup saved;
    // The window has no box for a port; a file's own stays in it on Save.
    std::optional<quint16> port;
};

namespace {

const QString kAppTitle = QString::fromUtf8(form::kTitle);
// A moment after the last change, so that typing does not write every key,
// and short enough that a killed program loses no more than that.
constexpr int kRememberDelayMs = 500;
constexpr int kMaxRecentFiles = 8;

struct TextKey {
    const char* key;
    QString RequestTexts::*member;
};
const TextKey kRememberedTexts[] = {
    {"request/comId", &RequestTexts::comId},       {"request/source", &RequestTexts::src},
    {"request/invokeId", &RequestTexts::invokeId}, {"request/command", &RequestTexts::cmnd},
    {"request/dataType", &RequestTexts::dataType}, {"request/varNo", &RequestTexts::varNo},
    {"request/data", &RequestTexts::data},
};
const QString kHostKey = QStringLiteral("connection/host");
const QString kProtocolKey = QStringLiteral("connection/protocol");
const QString kReplyTimeoutKey = QStringLiteral("connection/replyTimeoutMs");
const QString kNumberedKey = QStringLiteral("connection/numberedInvokeIds");
const QString kRecentKey = QStringLiteral("files/recent");
const QString kLogShownKey = QStringLiteral("view/exchangeLog");

QString droppedFile(const QMimeData* mime)
{
    if (!mime)
        return {};
    for (const QUrl& url : mime->urls()) {
        if (url.isLocalFile())
            return url.toLocalFile();
    }
    return {};
}

} // namespace

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent)
    , m_form(new FormMain(this))
    , m_document(std::make_unique<Document>())
{
    setObjectName(QStringLiteral("mainWindow"));
    // The form at the top left, where it always was; the log beside it
    // when shown.
    auto* central = new QWidget(this);
    central->setObjectName(QStringLiteral("centralArea"));
    auto* row = new QHBoxLayout(central);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    row->addWidget(m_form, 0, Qt::AlignLeft | Qt::AlignTop);
    // Counting starts with the window, before any session: nothing the
    // form's session does escapes the log and its counts.
    m_tracker = new WindowTracker(m_form->sessionEngine(), this);
    m_log = new ExchangeLogModel(ExchangeLogModel::kDefaultCapacity, this);
    m_log->setEpochUsAtZero(m_tracker->epochUsAtZero());
    m_tracker->setSink([log = m_log](const Exchange& exchange) { log->append(exchange); });
    m_logPane = new ExchangeLogPane(m_log, m_tracker, central);
    m_logPane->setFont(m_form->font());
    m_logPane->setFixedSize(ExchangeLogPane::kWidth, m_form->height());
    m_logPane->hide();
    row->addWidget(m_logPane, 0, Qt::AlignTop);
    setCentralWidget(central);
    // The form keeps its fixed size; the window is the form, the log when
    // shown, the menu bar and the status bar, and grows and shrinks with
    // the log.
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    buildMenus();
    buildStatusBar();
    restoreRemembered();

    m_rememberTimer.setSingleShot(true);
    m_rememberTimer.setInterval(kRememberDelayMs);
    connect(&m_rememberTimer, &QTimer::timeout, this, &MainWindow::rememberNow);
    connect(m_form, &FormMain::requestEdited, this, &MainWindow::requestEdited);
    connect(m_form, &FormMain::timingNoticeChanged, this, &MainWindow::showTimingNotice);
    // A socket error ends the program without closing the window.
    m_form->setEndProgramAction([this] {
        rememberNow();
        QCoreApplication::exit(0);
    });

    // A file dropped anywhere opens, also on a box, which would otherwise
    // take the file's name as typed text.
    setAcceptDrops(true);
    installEventFilter(this);
    for (QLineEdit* box : m_form->findChildren<QLineEdit*>())
        box->installEventFilter(this);
    showTitle();
}

MainWindow::~MainWindow()
{
    if (m_rememberTimer.isActive())
        rememberNow();
}

void MainWindow::buildMenus()
{
    QMenu* file = menuBar()->addMenu(tr("&File"));
    QAction* open = file->addAction(tr("&Open\u2026"), this, &MainWindow::openWithDialog);
    open->setObjectName(QStringLiteral("actionOpen"));
    open->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    m_recentMenu = file->addMenu(tr("Open &Recent"));
    m_recentMenu->setObjectName(QStringLiteral("menuRecent"));
    showRecentFiles();
    file->addSeparator();
    QAction* save = file->addAction(tr("&Save"), this, &MainWindow::save);
    save->setObjectName(QStringLiteral("actionSave"));
    save->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    QAction* saveAs = file->addAction(tr("Save &As\u2026"), this, &MainWindow::saveWithDialog);
    saveAs->setObjectName(QStringLiteral("actionSaveAs"));
    saveAs->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
    file->addSeparator();
    QAction* exportLog = file->addAction(tr("&Export Log\u2026"), this, &MainWindow::exportLogWithDialog);
    exportLog->setObjectName(QStringLiteral("actionExportLog"));
    exportLog->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_E));
    exportLog->setStatusTip(tr("Writes the exchange log's requests as CSV, as vexa-probe writes them"));
    QAction* exportChart =
        file->addAction(tr("Export C&hart\u2026"), this, &MainWindow::exportChartWithDialog);
    exportChart->setObjectName(QStringLiteral("actionExportChart"));
    exportChart->setStatusTip(tr("Writes the round-trip chart as PNG or SVG, as vexa-probe draws its plot"));
    file->addSeparator();
    QAction* quit = file->addAction(tr("&Quit"), this, &QWidget::close);
    quit->setObjectName(QStringLiteral("actionQuit"));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));

    QMenu* session = menuBar()->addMenu(tr("&Session"));
    QAction* timeout = session->addAction(tr("Reply &Timeout\u2026"), this, &MainWindow::askReplyTimeout);
    timeout->setObjectName(QStringLiteral("actionReplyTimeout"));
    timeout->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
    m_numberedAction = session->addAction(tr("&Number Invoke IDs"));
    m_numberedAction->setObjectName(QStringLiteral("actionNumberInvokeIds"));
    m_numberedAction->setCheckable(true);
    m_numberedAction->setStatusTip(tr("Each request carries its own invoke ID instead of the typed one, so "
                                      "that a late reply is told from the next request's"));
    connect(m_numberedAction, &QAction::toggled, this, &MainWindow::setNumberedInvokeIds);
    session->addSeparator();
    QAction* reset = session->addAction(tr("&Reset Statistics"), this, &MainWindow::resetStatistics);
    reset->setObjectName(QStringLiteral("actionResetStatistics"));
    reset->setStatusTip(tr("The exchange log's counts and round trips start again; the Min and Max boxes "
                           "keep theirs"));

    QMenu* view = menuBar()->addMenu(tr("&View"));
    m_logAction = view->addAction(tr("&Exchange Log"));
    m_logAction->setObjectName(QStringLiteral("actionExchangeLog"));
    m_logAction->setCheckable(true);
    m_logAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    connect(m_logAction, &QAction::toggled, this, &MainWindow::setExchangeLogShown);

    QMenu* help = menuBar()->addMenu(tr("&Help"));
    help->addAction(tr("&About Vexa Test"), this, &MainWindow::showAbout);
    help->addAction(tr("About &Qt"), qApp, &QApplication::aboutQt);
}

// --- Files -------------------------------------------------------------------

bool MainWindow::openFile(const QString& path)
{
    const RequestFileRead read = loadRequestFile(path);
    if (!read.file) {
        showError(tr("Cannot open %1:\n%2").arg(QDir::toNativeSeparators(path), read.error));
        // A file that is gone stays gone; one that is merely wrong may be fixed.
        if (!QFileInfo::exists(path)) {
            QStringList recent = recentFiles();
            recent.removeAll(QFileInfo(path).absoluteFilePath());
            setRecentFiles(recent);
        }
        return false;
    }
    const RequestFile& file = *read.file;
    RequestSetup setup = m_form->requestSetup();
    setup.texts = file.texts;
    if (file.host)
        setup.host = *file.host;
    if (file.protocol)
        setup.protocol = *file.protocol;
    m_form->setRequestSetup(setup);
    if (file.replyTimeoutMs)
        setReplyTimeoutMs(*file.replyTimeoutMs);

    m_document->path = QFileInfo(path).absoluteFilePath();
    m_document->port = file.port;
    // What the window shows now: an address a session holds stays, and Save
    // would write it.
    m_document->saved = m_form->requestSetup();
    addRecentFile(m_document->path);
    showTitle();
    return true;
}

void MainWindow::openWithDialog()
{
    const QString path = QFileDialog::getOpenFileName(
        this, tr("Open Request"), dialogFolder(),
        tr("Vexa requests (*.%1);;All files (*)").arg(QLatin1String(kRequestFileSuffix)));
    if (!path.isEmpty())
        openFile(path);
}

bool MainWindow::save()
{
    if (m_document->path.isEmpty())
        return saveWithDialog();
    return saveTo(m_document->path);
}

bool MainWindow::saveWithDialog()
{
    QFileDialog dialog(this, tr("Save Request As"), dialogFolder(),
                       tr("Vexa requests (*.%1);;All files (*)").arg(QLatin1String(kRequestFileSuffix)));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    // The suffix is added before the dialog asks about replacing a file.
    dialog.setDefaultSuffix(QLatin1String(kRequestFileSuffix));
    if (!m_document->path.isEmpty())
        dialog.selectFile(m_document->path);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return false;
    return saveTo(dialog.selectedFiles().constFirst());
}

bool MainWindow::saveTo(const QString& path)
{
    const RequestSetup setup = m_form->requestSetup();
    RequestFile file;
    file.texts = setup.texts;
    file.hasText.fill(true);
    file.protocol = setup.protocol;
    file.host = setup.host;
    file.port = m_document->port;
    file.replyTimeoutMs = m_form->replyTimeoutMs();
    if (auto error = saveRequestFile(path, file)) {
        showError(tr("Cannot save %1:\n%2").arg(QDir::toNativeSeparators(path), *error));
        return false;
    }
    m_document->path = QFileInfo(path).absoluteFilePath();
    m_document->saved = setup;
    addRecentFile(m_document->path);
    showTitle();
    return true;
}

QString MainWindow::dialogFolder() const
{
    if (!m_document->path.isEmpty())
        return QFileInfo(m_document->path).absolutePath();
    const QStringList recent = recentFiles();
    if (!recent.isEmpty())
        return QFileInfo(recent.constFirst()).absolutePath();
    return QDir::homePath();
}

void MainWindow::showError(const QString& text)
{
    QMessageBox box(QMessageBox::Critical, kAppTitle, text, QMessageBox::Ok, this);
    box.exec();
}

// --- Title and about ---------------------------------------------------------

void MainWindow::showTitle()
{
    if (m_document->path.isEmpty()) {
        setWindowFilePath(QString());
        setWindowTitle(kAppTitle);
        setWindowModified(false);
        return;
    }
    setWindowFilePath(m_document->path);
    // "[*]" in a file's own name would be taken for the modified mark.
    QString name = QFileInfo(m_document->path).fileName();
    name.replace(QLatin1String("[*]"), QLatin1String("[*][*]"));
    setWindowTitle(QStringLiteral("%1[*] \u2014 %2").arg(name, kAppTitle));
    setWindowModified(m_form->requestSetup() != m_document->saved);
}

void MainWindow::showAbout()
{
    QMessageBox::about(this, tr("About Vexa Test"),
                       tr("<h3>Vexa Test %1</h3>"
                          "<p>Sends request frames to the Ethernet communication module of an "
                          "industrial controller and times the replies.</p>"
                          "<p>Licence: GPL-3.0-or-later</p>")
                           .arg(QLatin1String(VEXA_VERSION)));
}

void MainWindow::requestEdited()
{
    showTitle();
    rememberSoon();
}

void MainWindow::setReplyTimeoutMs(int ms)
{
    m_form->setReplyTimeoutMs(ms);
    showReplyTimeout();
    rememberSoon();
}

void MainWindow::askReplyTimeout()
{
    QInputDialog dialog(this);
    dialog.setObjectName(QStringLiteral("replyTimeoutDialog"));
    dialog.setWindowTitle(tr("Reply Timeout"));
    dialog.setLabelText(tr("Give a request up when its reply has not come within (ms):"));
    dialog.setInputMode(QInputDialog::IntInput);
    dialog.setIntRange(kMinReplyTimeoutMs, kMaxReplyTimeoutMs);
    dialog.setIntStep(100);
    dialog.setIntValue(m_form->replyTimeoutMs());
    if (dialog.exec() == QDialog::Accepted)
        setReplyTimeoutMs(dialog.intValue());
}

void MainWindow::setNumberedInvokeIds(bool numbered)
{
    m_form->setNumberedInvokeIds(numbered);
    m_numberedAction->setChecked(numbered);
    showReplyTimeout();
    rememberSoon();
}

// --- Exchange log ------------------------------------------------------------

void MainWindow::setExchangeLogShown(bool shown)
{
    m_logPane->setVisible(shown);
    if (m_logAction->isChecked() != shown) {
        const QSignalBlocker quiet(m_logAction);
        m_logAction->setChecked(shown);
    }
    QSettings settings;
    settings.setValue(kLogShownKey, shown);
}

void MainWindow::resetStatistics()
{
    m_tracker->resetStatistics();
}

bool MainWindow::exportLog(const QString& path)
{
    // What is decided but not yet in the view goes out too.
    m_log->flush();
    if (auto error = exportExchangeLog(*m_log, path)) {
        showError(tr("Cannot export the log to %1:\n%2").arg(QDir::toNativeSeparators(path), *error));
        return false;
    }
    m_exportPath = QFileInfo(path).absoluteFilePath();
    return true;
}

void MainWindow::exportLogWithDialog()
{
    QFileDialog dialog(this, tr("Export Log"),
                       m_exportPath.isEmpty() ? dialogFolder() : QFileInfo(m_exportPath).absolutePath(),
                       tr("CSV files (*.csv);;All files (*)"));
    dialog.setObjectName(QStringLiteral("exportLogDialog"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("csv"));
    if (!m_exportPath.isEmpty())
        dialog.selectFile(m_exportPath);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    exportLog(dialog.selectedFiles().constFirst());
}

bool MainWindow::exportChart(const QString& path)
{
    // The size of the probe's plot by default: a page to read, not the pane.
    constexpr QSize kChartSize(1200, 800);
    QString error;
    if (!m_logPane->chart().exportTo(path, kChartSize, &error)) {
        showError(tr("Cannot export the chart to %1:\n%2").arg(QDir::toNativeSeparators(path), error));
        return false;
    }
    m_exportPath = QFileInfo(path).absoluteFilePath();
    return true;
}

void MainWindow::exportChartWithDialog()
{
    const QString folder = m_exportPath.isEmpty() ? dialogFolder() : QFileInfo(m_exportPath).absolutePath();
    QFileDialog dialog(this, tr("Export Chart"), folder, tr("PNG images (*.png);;SVG drawings (*.svg)"));
    dialog.setObjectName(QStringLiteral("exportChartDialog"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("png"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    exportChart(dialog.selectedFiles().constFirst());
}

// --- Status bar --------------------------------------------------------------

void MainWindow::buildStatusBar()
{
    // Below the form, which keeps its place and size; the window grows by it.
    QStatusBar* bar = statusBar();
    bar->setSizeGripEnabled(false);
    m_notice = new QLabel(bar);
    m_notice->setObjectName(QStringLiteral("lblTimingNotice"));
    m_notice->setWordWrap(true);
    // In the form's face, three lines always, so that a notice coming or
    // going moves nothing.
    m_notice->setFont(m_form->font());
    m_notice->setFixedHeight(3 * m_notice->fontMetrics().lineSpacing() + 2);
    m_notice->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    // It wraps within whatever width the window has, never widening it.
    m_notice->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    bar->addWidget(m_notice, 1);
    m_timeoutLabel = new QLabel(bar);
    m_timeoutLabel->setObjectName(QStringLiteral("lblReplyTimeout"));
    m_timeoutLabel->setFont(m_form->font());
    m_timeoutLabel->setContentsMargins(6, 0, 6, 0);
    bar->addPermanentWidget(m_timeoutLabel);
    showReplyTimeout();
}

void MainWindow::showTimingNotice(const QString& notice)
{
    m_notice->setText(notice);
    m_notice->setToolTip(notice);
}

void MainWindow::showReplyTimeout()
{
    QString text = tr("Reply timeout %1 ms").arg(m_form->replyTimeoutMs());
    if (m_form->numberedInvokeIds())
        text += tr(", invoke IDs numbered");
    m_timeoutLabel->setText(text);
    m_timeoutLabel->setMinimumWidth(m_timeoutLabel->sizeHint().width());
}

// --- Remembered texts --------------------------------------------------------

void MainWindow::rememberSoon()
{
    // Not restarted by further typing, so that no change waits longer.
    if (!m_rememberTimer.isActive())
        m_rememberTimer.start();
}

void MainWindow::rememberNow()
{
    m_rememberTimer.stop();
    const RequestSetup setup = m_form->requestSetup();
    QSettings settings;
    for (const TextKey& entry : kRememberedTexts)
        settings.setValue(QLatin1String(entry.key), setup.texts.*entry.member);
    settings.setValue(kHostKey, setup.host);
    settings.setValue(kProtocolKey,
                      setup.protocol == RequestProtocol::Udp ? QStringLiteral("udp") : QStringLiteral("tcp"));
    settings.setValue(kReplyTimeoutKey, m_form->replyTimeoutMs());
    settings.setValue(kNumberedKey, m_form->numberedInvokeIds());
    settings.sync();
}

void MainWindow::restoreRemembered()
{
    const QSettings settings;
    RequestSetup setup = m_form->requestSetup();
    for (const TextKey& entry : kRememberedTexts) {
        const QString key = QLatin1String(entry.key);
        if (settings.contains(key))
            setup.texts.*entry.member = settings.value(key).toString();
    }
    if (settings.contains(kHostKey))
        setup.host = settings.value(kHostKey).toString();
    if (settings.contains(kProtocolKey)) {
        setup.protocol = settings.value(kProtocolKey).toString() == QLatin1String("udp")
            ? RequestProtocol::Udp
            : RequestProtocol::Tcp;
    }
    m_form->setRequestSetup(setup);
    bool ok = false;
    const int ms = settings.value(kReplyTimeoutKey).toInt(&ok);
    if (ok && ms >= kMinReplyTimeoutMs && ms <= kMaxReplyTimeoutMs)
        m_form->setReplyTimeoutMs(ms);
    if (settings.value(kNumberedKey).toBool()) {
        const QSignalBlocker quiet(m_numberedAction);
        m_numberedAction->setChecked(true);
        m_form->setNumberedInvokeIds(true);
    }
    showReplyTimeout();
    if (settings.value(kLogShownKey).toBool())
        setExchangeLogShown(true);
}

// --- Recent files ------------------------------------------------------------

QStringList MainWindow::recentFiles() const
{
    return QSettings().value(kRecentKey).toStringList();
}

void MainWindow::setRecentFiles(const QStringList& files)
{
    QSettings settings;
    settings.setValue(kRecentKey, files);
    settings.sync();
    showRecentFiles();
}

void MainWindow::addRecentFile(const QString& path)
{
    QStringList recent = recentFiles();
    recent.removeAll(path);
    recent.prepend(path);
    setRecentFiles(recent.mid(0, kMaxRecentFiles));
}

void MainWindow::showRecentFiles()
{
    m_recentMenu->clear();
    const QStringList recent = recentFiles();
    for (qsizetype i = 0; i < recent.size(); ++i) {
        const QString path = recent.at(i);
        QString name = QFileInfo(path).fileName();
        name.replace(u'&', QLatin1String("&&"));
        QAction* action = m_recentMenu->addAction(QStringLiteral("&%1 %2").arg(QString::number(i + 1), name));
        action->setStatusTip(QDir::toNativeSeparators(path));
        action->setToolTip(QDir::toNativeSeparators(path));
        connect(action, &QAction::triggered, this, [this, path] { openFile(path); });
    }
    m_recentMenu->addSeparator();
    m_recentMenu->addAction(tr("&Clear Menu"), this, [this] { setRecentFiles({}); });
    m_recentMenu->setEnabled(!recent.isEmpty());
}

// --- Closing and drops -------------------------------------------------------

void MainWindow::closeEvent(QCloseEvent* event)
{
    rememberNow();
    // The form ends its session as it does when it is the window.
    m_form->close();
    event->accept();
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
        auto* drag = static_cast<QDragMoveEvent*>(event);
        if (droppedFile(drag->mimeData()).isEmpty())
            break;
        drag->acceptProposedAction();
        return true;
    }
    case QEvent::Drop: {
        auto* drop = static_cast<QDropEvent*>(event);
        const QString path = droppedFile(drop->mimeData());
        if (path.isEmpty())
            break;
        drop->acceptProposedAction();
        // After the drop is over: a message box inside it would hold the
        // file manager's drag.
        QTimer::singleShot(0, this, [this, path] { openFile(path); });
        return true;
    }
    default:
        break;
    }
    return QMainWindow::eventFilter(watched, event);
}
