#include "console/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLocale>
#include <QMenuBar>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QToolBar>
#include <cstdlib>

#include "console/boot_dialog.h"
#include "console/chat_window.h"
#include "console/connection_view.h"
#include "console/log_view.h"
#include "console/model/placement.h"
#include "console/model/receiver_list.h"
#include "console/model/status_text.h"
#include "console/model/view_settings.h"
#include "console/receiver_list_dialog.h"
#include "console/server_bridge.h"
#include "console/user_list_dialog.h"
#include "core/client_table.h"
#include "core/config_keys.h"
#include "core/config_store.h"
#include "core/event_log.h"
#include "core/server.h"
#include "platform/subprocess.h"

namespace orvana::console {
namespace {

// The log file's viewer: the one the operator named, else the desktop's.
std::vector<std::string> ViewerCommand(const std::string& file) {
    const char* visual = std::getenv("VISUAL");
    return {visual != nullptr && *visual != '\0' ? visual : "xdg-open", file};
}

}  // namespace

MainWindow::MainWindow(ConsoleContext& context, ServerBridge& bridge)
    : context_(context),
      started_(
          QDateTime::currentDateTime().addMSecs(-static_cast<qint64>(context.server.online_ms()))) {
    setObjectName("mainWindow");
    const ConfigStore& store = context_.server.store();
    setWindowTitle(QString("OrvanaSrv   %1:%2")
                       .arg(Shown(store.ReadText(cfg::kActiveKey, cfg::kIPAdress)),
                            Shown(store.ReadText(cfg::kActiveKey, cfg::kPortServer))));

    splitter_ = new QSplitter(Qt::Vertical, this);
    connections_ = new ConnectionView(context_, splitter_);
    connections_->SetShownColumns(store.ReadNumber(cfg::kActiveKey, cfg::kProCon));
    log_ = new LogView(static_cast<int>(ViewMaxLines(store)), splitter_);
    splitter_->addWidget(connections_);
    splitter_->addWidget(log_);
    splitter_->setSizes({static_cast<int>(store.ReadNumber(cfg::kActiveKey, cfg::kMainFrameCon)),
                         static_cast<int>(store.ReadNumber(cfg::kActiveKey, cfg::kMainFrameWin))});
    setCentralWidget(splitter_);
    status_ = new QLabel(this);
    status_->setObjectName("status");
    statusBar()->addWidget(status_, 1);
    BuildActions();

    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        tray_ = new QSystemTrayIcon(style()->standardIcon(QStyle::SP_DriveNetIcon), this);
        tray_->setToolTip("GNSS Server : " + Shown(store.ActiveConfiguration()));
        tray_->show();
    }
    resize(900, 520);
    RestorePlacement();

    connect(&bridge, &ServerBridge::LogLine, log_, &LogView::Append);
    for (const QString& line : bridge.Attach()) log_->Append(line);
    connect(&bridge, &ServerBridge::ChatLine, this, &MainWindow::ChatLine);
    connect(connections_, &ConnectionView::Refreshed, this, &MainWindow::UpdateStatus);
    // Clients that left go from the chat's list too.
    connect(connections_, &ConnectionView::Refreshed, this, [this] {
        if (chat_ != nullptr) chat_->RebuildPeers();
    });
    connections_->Refresh();
    UpdateStatus();
}

MainWindow::~MainWindow() = default;

ChatWindow* MainWindow::chat() {
    return chat_;
}

ReceiverListDialog* MainWindow::receiver_list() {
    return receiver_list_;
}

UserListDialog* MainWindow::user_list() {
    return user_list_;
}

void MainWindow::BuildActions() {
    QStyle* s = style();
    auto* exit = new QAction("Exit", this);
    auto* configuration = new QAction("Configuration", this);
    auto* receivers = new QAction(s->standardIcon(QStyle::SP_DriveNetIcon), "Receivers...", this);
    auto* operators = new QAction(s->standardIcon(QStyle::SP_DirHomeIcon), "Operators...", this);
    auto* log_file =
        new QAction(s->standardIcon(QStyle::SP_FileDialogContentsView), "Log File", this);
    auto* status_bar = new QAction("Status Bar", this);
    auto* about = new QAction(s->standardIcon(QStyle::SP_MessageBoxInformation), "About", this);
    status_bar->setCheckable(true);
    status_bar->setChecked(true);
    connect(exit, &QAction::triggered, this, &QWidget::close);
    connect(configuration, &QAction::triggered, this, &MainWindow::OpenBootDialog);
    connect(receivers, &QAction::triggered, this, &MainWindow::OpenReceiverList);
    connect(operators, &QAction::triggered, this, &MainWindow::OpenUserList);
    connect(log_file, &QAction::triggered, this, &MainWindow::OpenLogFile);
    connect(status_bar, &QAction::toggled, statusBar(), &QWidget::setVisible);
    connect(about, &QAction::triggered, this, &MainWindow::About);

    menuBar()->addMenu("File")->addAction(exit);
    QMenu* setup = menuBar()->addMenu("Setup");
    setup->addActions({configuration, receivers, operators});
    menuBar()->addMenu("View")->addActions({log_file, status_bar});
    menuBar()->addMenu("Help")->addAction(about);

    QToolBar* tools = addToolBar("Tools");
    tools->setObjectName("tools");
    tools->addAction(log_file);
    tools->addSeparator();
    tools->addActions({receivers, operators});
    tools->addSeparator();
    tools->addAction(about);
}

void MainWindow::RestorePlacement() {
    const ConfigStore& store = context_.server.store();
    Rect saved;
    saved.left = static_cast<int>(store.ReadNumber(cfg::kActiveKey, cfg::kMainFrameL));
    saved.top = static_cast<int>(store.ReadNumber(cfg::kActiveKey, cfg::kMainFrameT));
    saved.right = static_cast<int>(store.ReadNumber(cfg::kActiveKey, cfg::kMainFrameR));
    saved.bottom = static_cast<int>(store.ReadNumber(cfg::kActiveKey, cfg::kMainFrameB));
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) return;
    const QRect area = screen->availableGeometry();
    const Rect work{area.left(), area.top(), area.left() + area.width(),
                    area.top() + area.height()};
    if (auto placed = RestoredPlacement(saved, work))
        setGeometry(placed->left, placed->top, placed->right - placed->left,
                    placed->bottom - placed->top);
}

void MainWindow::SavePlacement() {
    const ConfigStore& store = context_.server.store();
    const QList<int> heights = splitter_->sizes();
    const QRect g = geometry();
    auto number = [](int v) { return static_cast<uint32_t>(v); };
    store.WriteTogether([&] {
        return store.WriteNumber(cfg::kActiveKey, cfg::kMainFrameCon.name, number(heights[0])) &&
               store.WriteNumber(cfg::kActiveKey, cfg::kMainFrameWin.name, number(heights[1])) &&
               store.WriteNumber(cfg::kActiveKey, cfg::kMainFrameL.name, number(g.left())) &&
               store.WriteNumber(cfg::kActiveKey, cfg::kMainFrameT.name, number(g.top())) &&
               store.WriteNumber(cfg::kActiveKey, cfg::kMainFrameR.name,
                                 number(g.left() + g.width())) &&
               store.WriteNumber(cfg::kActiveKey, cfg::kMainFrameB.name,
                                 number(g.top() + g.height()));
    });
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (!shut_down_ && !context_.prompts.Confirm(this, PromptIcon::kQuestion, "Please confirm",
                                                 "Are you sure you want to exit?")) {
        event->ignore();
        return;
    }
    ShutDown();
    event->accept();
}

void MainWindow::ShutDown() {
    if (shut_down_) return;
    shut_down_ = true;
    SavePlacement();
    connections_->FinishDeletes();
    for (QWidget* w : std::initializer_list<QWidget*>{chat_, receiver_list_, user_list_})
        if (w != nullptr) w->close();
    context_.server.StopServer();
    close();
    QApplication::quit();
}

void MainWindow::OpenLogFile() {
    std::string error;
    if (!platform::StartDetached(ViewerCommand(context_.server.log().FileName()), &error))
        context_.prompts.Tell(this, PromptIcon::kError, "Error", "Can't create process server!");
}

void MainWindow::OpenBootDialog() {
    BootDialog dialog(context_, this);
    dialog.exec();
}

void MainWindow::OpenReceiverList() {
    if (receiver_list_ != nullptr) return;
    receiver_list_ = new ReceiverListDialog(context_, this);
    receiver_list_->setAttribute(Qt::WA_DeleteOnClose);
    receiver_list_->show();
}

void MainWindow::OpenUserList() {
    if (user_list_ != nullptr) return;
    user_list_ = new UserListDialog(context_, this);
    user_list_->setAttribute(Qt::WA_DeleteOnClose);
    user_list_->show();
}

void MainWindow::About() {
    context_.prompts.Tell(
        this, PromptIcon::kInformation, "About OrvanaSrv",
        QString("OrvanaSrv, a GNSS reference-station server\n") + cfg::kVersionText);
}

void MainWindow::ChatLine(const QString& history_line) {
    if (chat_ == nullptr) {
        chat_ = new ChatWindow(context_, this);
        chat_->setAttribute(Qt::WA_DeleteOnClose);
    }
    chat_->show();
    chat_->Receive(history_line);
}

void MainWindow::UpdateStatus() {
    StatusFigures f;
    const QLocale locale;
    f.started = (locale.toString(started_.date(), QLocale::ShortFormat) + " " +
                 started_.time().toString("HH:mm:ss"))
                    .toStdString();
    f.online_ms = context_.server.online_ms();
    // A busy receiver table keeps the last count rather than hold up the window.
    if (auto open = OpenReceiverErrors(context_.server))
        open_receivers_ = static_cast<unsigned>(open->size());
    f.receivers = open_receivers_;
    f.connections = context_.server.clients().Count();
    f.client_slots = ClientTable::kSlots;
    status_->setText(QString::fromStdString(StatusText(f)));
}

}  // namespace orvana::console
