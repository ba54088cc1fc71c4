#include "console/info_page.h"

#include <QApplication>
#include <QFormLayout>
#include <QVBoxLayout>

#include "console/model/store_keys.h"
#include "core/config_keys.h"
#include "core/config_store.h"
#include "core/server.h"

namespace orvana::console {
namespace {

QLineEdit* ReadOnlyField(QWidget* parent, const char* name) {
    auto* field = new QLineEdit(kUndefinedInfo, parent);
    field->setObjectName(name);
    field->setReadOnly(true);
    return field;
}

}  // namespace

InfoPage::InfoPage(ConsoleContext& context, std::string receiver, QWidget* parent)
    : QWidget(parent), context_(context), receiver_(std::move(receiver)) {
    setObjectName("infoPage");
    type_ = ReadOnlyField(this, "receiverType");
    id_ = ReadOnlyField(this, "receiverId");
    firmware_ = ReadOnlyField(this, "firmware");
    const ConfigStore& store = context_.server.store();
    comment_ = new QLineEdit(Shown(store.ReadText(ReceiverKey(receiver_), cfg::kComment)), this);
    comment_->setObjectName("comment");
    point_name_ =
        new QLineEdit(Shown(store.ReadText(ReceiverKey(receiver_), cfg::kPointName)), this);
    point_name_->setObjectName("pointName");
    auto* form = new QFormLayout(this);
    form->addRow("Receiver type:", type_);
    form->addRow("Receiver ID:", id_);
    form->addRow("Firmware version:", firmware_);
    form->addRow("Comment:", comment_);
    form->addRow("Point name:", point_name_);
}

InfoPage::~InfoPage() {
    // Closes the poll's connection and waits for its thread before the fields go; removes
    // Users\Demon.
    poll_.reset();
}

void InfoPage::Save() {
    const ConfigStore& store = context_.server.store();
    store.WriteText(ReceiverKey(receiver_), cfg::kComment.name, Stored(comment_->text()));
    store.WriteText(ReceiverKey(receiver_), cfg::kPointName.name, Stored(point_name_->text()));
}

void InfoPage::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!poll_started_) StartPoll();
}

void InfoPage::StartPoll() {
    poll_started_ = true;
    wait_window_ =
        std::make_unique<QLabel>("Please wait while OrvanaSrv is querying receiver parameters",
                                 nullptr, Qt::Tool | Qt::FramelessWindowHint);
    wait_window_->setObjectName("pollWait");
    static_cast<QLabel*>(wait_window_.get())->setMargin(16);
    wait_window_->adjustSize();
    if (QWidget* main = window()->parentWidget() ? window()->parentWidget()->window() : window())
        wait_window_->move(main->geometry().center() - wait_window_->rect().center());
    wait_window_->show();
    setEnabled(false);
    poll_ = std::make_unique<InfoPoll>(context_.server, receiver_, [this](const ReceiverInfo& i) {
        // On the poll's thread: shown on the page's, and dropped if the page is gone by then.
        QMetaObject::invokeMethod(
            this, [this, i] { Show(i); }, Qt::QueuedConnection);
    });
}

void InfoPage::Show(const ReceiverInfo& info) {
    type_->setText(Shown(info.type));
    id_->setText(Shown(info.id));
    firmware_->setText(Shown(info.firmware));
    wait_window_.reset();
    setEnabled(true);
    emit PollEnded();
}

}  // namespace orvana::console
