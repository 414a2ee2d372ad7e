// SPDX-License-Identifier: GPL-3.0-or-later
// The tool's top-level window: the form with a menu bar above it, request
// files opened, dropped and saved, what was typed remembered between runs,
// and the exchange log beside the form.
#pragma once

#include "ui/form_main.h"

#include <QMainWindow>
#include <QTimer>
#include <memory>

class ExchangeLogModel;
class ExchangeLogPane;
class QLabel;
class QMenu;
class WindowTracker;

class MainWindow final : public QMainWindow {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MainWindow)
public:
    // The reply timeouts the window takes: from a millisecond to an hour.
    static constexpr int kMinReplyTimeoutMs = 1;
    static constexpr int kMaxReplyTimeoutMs = 3'600'000;

    // Fills the boxes with what was typed when the tool last ran.
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // Opens a request file as File > Open does: its texts fill the boxes,
    // nothing is sent. A file that cannot be used is named in a message and
    // changes nothing; false then.
    bool openFile(const QString& path);
    // For requests sent from now on, and remembered for the next run.
    void setReplyTimeoutMs(int ms);
    // Session > Reply Timeout: asks for a new one.
    void askReplyTimeout();

    // View > Exchange Log: the pane beside the form, the window wider by it;
    // remembered for the next run.
    void setExchangeLogShown(bool shown);
    // File > Export Log without its dialog: the log's requests as CSV.
    // Refused with a message naming the path and the reason, the file
    // there before left whole; false then.
    bool exportLog(const QString& path);
    // File > Export Chart without its dialog: PNG or SVG by the suffix,
    // refused as the log's export is.
    bool exportChart(const QString& path);

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Document;

    void buildMenus();
    void buildStatusBar();
    void openWithDialog();
    bool save();
    bool saveWithDialog();
    bool saveTo(const QString& path);
    void showError(const QString& text);
    void showTitle();
    void showAbout();
    void requestEdited();
    void setNumberedInvokeIds(bool numbered);
    void showTimingNotice(const QString& notice);
    void showReplyTimeout();
    void exportLogWithDialog();
    void exportChartWithDialog();
    void resetStatistics();

    // What was typed goes to the settings a moment after it changed, and at
    // once when the window closes or the program ends.
    void rememberSoon();
    void rememberNow();
    void restoreRemembered();

    QStringList recentFiles() const;
    void setRecentFiles(const QStringList& files);
    void addRecentFile(const QString& path);
    void showRecentFiles();
    QString dialogFolder() const;

    FormMain* m_form;
    QMenu* m_recentMenu = nullptr;
    QAction* m_numberedAction = nullptr;
    QLabel* m_notice = nullptr;
    QLabel* m_timeoutLabel = nullptr;
    WindowTracker* m_tracker = nullptr;
    ExchangeLogModel* m_log = nullptr;
    ExchangeLogPane* m_logPane = nullptr;
    QAction* m_logAction = nullptr;
    QString m_exportPath; // the last export's, for the next dialog
    QTimer m_rememberTimer;
    std::unique_ptr<Document> m_document;
};
