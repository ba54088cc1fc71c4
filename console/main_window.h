#pragma once
// The operator's window on a running server: the title names where it listens, the upper pane
// lists the open connections, the lower pane shows the event log, the status bar how long the
// server has run and how busy it is. Closing it (after a confirmation) stops the server.

#include <QDateTime>
#include <QLabel>
#include <QMainWindow>
#include <QPointer>
#include <QSplitter>
#include <QSystemTrayIcon>

#include "console/console_context.h"

namespace orvana::console {

class ChatWindow;
class ConnectionView;
class LogView;
class ReceiverListDialog;
class ServerBridge;
class UserListDialog;

class MainWindow : public QMainWindow {
    Q_OBJECT

  public:
    // After the server has started: the active configuration is known then.
    MainWindow(ConsoleContext& context, ServerBridge& bridge);
    ~MainWindow() override;

    ConnectionView* connections() { return connections_; }
    LogView* log() { return log_; }
    QSplitter* splitter() { return splitter_; }
    ChatWindow* chat();
    ReceiverListDialog* receiver_list();
    UserListDialog* user_list();
    QString ShownStatus() const { return status_->text(); }

  public slots:
    // Saves the window's settings and runs the server's orderly shutdown, once; the window then
    // closes without asking.
    void ShutDown();
    void OpenLogFile();
    void OpenBootDialog();
    void OpenReceiverList();
    void OpenUserList();
    void About();
    void ChatLine(const QString& history_line);
    void UpdateStatus();

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void BuildActions();
    void RestorePlacement();
    void SavePlacement();

    ConsoleContext& context_;
    QSplitter* splitter_;
    ConnectionView* connections_;
    LogView* log_;
    QLabel* status_;
    QDateTime started_;
    QPointer<ChatWindow> chat_;
    QPointer<ReceiverListDialog> receiver_list_;
    QPointer<UserListDialog> user_list_;
    QSystemTrayIcon* tray_ = nullptr;
    unsigned open_receivers_ = 0;
    bool shut_down_ = false;
};

}  // namespace orvana::console
