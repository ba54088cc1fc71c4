#include "console/chat_window.h"

#include <QGridLayout>
#include <QPushButton>
#include <QScrollBar>

#include "console/model/chat.h"
#include "console/named_rows.h"
#include "core/config_keys.h"
#include "core/config_store.h"
#include "core/server.h"

namespace orvana::console {

ChatWindow::ChatWindow(ConsoleContext& context, QWidget* parent)
    : QDialog(parent), context_(context) {
    setObjectName("chat");
    setWindowTitle("Chat");
    history_ = new QPlainTextEdit(this);
    history_->setObjectName("history");
    history_->setReadOnly(true);
    message_ = new QLineEdit(this);
    message_->setObjectName("message");
    peers_ = new QComboBox(this);
    peers_->setObjectName("peers");
    auto* send = new QPushButton("Send", this);
    auto* clear = new QPushButton("Clear", this);
    auto* cancel = new QPushButton("Cancel", this);
    auto* layout = new QGridLayout(this);
    layout->addWidget(history_, 0, 0, 1, 4);
    layout->addWidget(message_, 1, 0, 1, 4);
    layout->addWidget(peers_, 2, 0);
    layout->addWidget(send, 2, 1);
    layout->addWidget(clear, 2, 2);
    layout->addWidget(cancel, 2, 3);
    connect(send, &QPushButton::clicked, this, &ChatWindow::Send);
    connect(clear, &QPushButton::clicked, this, &ChatWindow::Clear);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    RestorePosition(this, context_.server.store(), cfg::kXChat, cfg::kYChat);
    RebuildPeers();
}

void ChatWindow::RebuildPeers() {
    const QString chosen = peers_->currentText();
    peers_->clear();
    for (const ChatPeer& p : ReadChatPeers(context_.server))
        peers_->addItem(Shown(p.Label()), Shown(p.address));
    const int again = peers_->findText(chosen);
    if (again >= 0) peers_->setCurrentIndex(again);
}

void ChatWindow::Receive(const QString& history_line) {
    RebuildPeers();
    history_->moveCursor(QTextCursor::End);
    history_->insertPlainText(history_line);
    history_->verticalScrollBar()->setValue(history_->verticalScrollBar()->maximum());
}

void ChatWindow::Send() {
    if (peers_->currentIndex() < 0) return;
    SendChat(context_.server, Stored(peers_->currentData().toString()), Stored(message_->text()));
}

void ChatWindow::Clear() {
    history_->clear();
    message_->clear();
}

void ChatWindow::done(int result) {
    SavePosition(this, context_.server.store(), cfg::kXChat, cfg::kYChat);
    QDialog::done(result);
}

}  // namespace orvana::console
