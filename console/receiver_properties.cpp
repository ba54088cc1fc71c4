#include "console/receiver_properties.h"

#include <QDialogButtonBox>
#include <QVBoxLayout>

#include "console/access_page.h"
#include "console/connection_page.h"
#include "console/info_page.h"

namespace orvana::console {

ReceiverProperties::ReceiverProperties(ConsoleContext& context, const std::string& receiver,
                                       QWidget* parent)
    : QDialog(parent), context_(context) {
    setObjectName("receiverProperties");
    setWindowTitle("Receiver \"" + Shown(receiver) + "\" Properties");
    tabs_ = new QTabWidget(this);
    connection_ = new ConnectionPage(context, receiver, tabs_);
    info_ = new InfoPage(context, receiver, tabs_);
    access_ = new AccessPage(context, receiver, tabs_);
    tabs_->addTab(connection_, "Connection");
    tabs_->addTab(info_, "Info");
    tabs_->addTab(access_, "User Access");
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &ReceiverProperties::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_);
    layout->addWidget(buttons);
}

void ReceiverProperties::accept() {
    // A refused interface keeps the dialog open, so the operator can choose another.
    if (!connection_->Save()) return;
    info_->Save();
    QDialog::accept();
}

}  // namespace orvana::console
