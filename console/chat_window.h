#pragma once
// The chat with the clients, opened by a client's Chat request: the history of their lines, and
// the operator's line sent to every connection of the chosen address.

#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QPlainTextEdit>

#include "console/console_context.h"

namespace orvana::console {

class ChatWindow : public QDialog {
    Q_OBJECT

  public:
    ChatWindow(ConsoleContext& context, QWidget* parent);

    // A client's line, from the window's thread.
    void Receive(const QString& history_line);
    void RebuildPeers();

  public slots:
    void Send();
    void Clear();

  protected:
    void done(int result) override;

  private:
    ConsoleContext& context_;
    QPlainTextEdit* history_;
    QLineEdit* message_;
    QComboBox* peers_;
};

}  // namespace orvana::console
