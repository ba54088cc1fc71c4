#pragma once
// Info: the receiver's type, ID and firmware version, read live when the page is first shown
// (the poll runs on its own thread; a wait window stands over the main window meanwhile), and
// the comment and point name the operator keeps for it.

#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QWidget>
#include <memory>

#include "console/console_context.h"
#include "receivers/info_poll.h"

namespace orvana::console {

class InfoPage : public QWidget {
    Q_OBJECT

  public:
    InfoPage(ConsoleContext& context, std::string receiver, QWidget* parent);
    ~InfoPage() override;

    void Save();
    bool polling() const { return poll_ != nullptr && !poll_->finished(); }

  signals:
    void PollEnded();

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void StartPoll();
    void Show(const ReceiverInfo& info);

    ConsoleContext& context_;
    const std::string receiver_;
    QLineEdit *type_, *id_, *firmware_, *comment_, *point_name_;
    bool poll_started_ = false;
    std::unique_ptr<QWidget> wait_window_;
    std::unique_ptr<InfoPoll> poll_;
};

}  // namespace orvana::console
