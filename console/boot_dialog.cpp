#include "console/boot_dialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QPushButton>

#include "console/model/boot_config.h"
#include "core/config_store.h"
#include "core/server.h"

namespace orvana::console {

BootDialog::BootDialog(ConsoleContext& context, QWidget* parent)
    : QDialog(parent), context_(context) {
    setObjectName("bootDialog");
    setWindowTitle("Choose Boot Cofiguration");
    names_ = new QComboBox(this);
    names_->setObjectName("configurations");
    names_->setEditable(true);
    names_->setInsertPolicy(QComboBox::NoInsert);
    auto* add = new QPushButton("New", this);
    add->setObjectName("new");
    port_ = new QLineEdit(this);
    port_->setObjectName("port");
    address_ = new QComboBox(this);
    address_->setObjectName("address");
    auto_start_ = new QCheckBox("Launch OrvanaSrv on computer start-up", this);
    auto_start_->setObjectName("autoStart");
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    auto* name_row = new QHBoxLayout;
    name_row->addWidget(names_, 1);
    name_row->addWidget(add);
    auto* form = new QFormLayout(this);
    form->addRow("Configuration :", name_row);
    form->addRow("Port : ", port_);
    form->addRow("IP Address : ", address_);
    form->addRow(auto_start_);
    form->addRow(buttons);

    for (const std::string& a : ListenAddressChoices()) address_->addItem(Shown(a));
    const ConfigStore root = context_.server.store().AtRoot();
    for (const std::string& name : ConfigurationNames(root)) names_->addItem(Shown(name));
    connect(names_, &QComboBox::currentIndexChanged, this, &BootDialog::ShowConfiguration);
    connect(add, &QPushButton::clicked, this, &BootDialog::New);
    connect(buttons, &QDialogButtonBox::accepted, this, &BootDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    names_->setCurrentIndex(names_->count() > 0 ? 0 : -1);
    ShowConfiguration(names_->currentIndex());
}

void BootDialog::ShowConfiguration(int index) {
    if (creating_) return;
    if (index < 0) {
        port_->setText(kNoValue);
        address_->setCurrentIndex(-1);
        address_->setEditText(kNoValue);
        return;
    }
    const ConfigStore root = context_.server.store().AtRoot();
    const BootValues v = ReadBootValues(root, Stored(names_->itemText(index)));
    port_->setText(Shown(v.port));
    const int address = address_->findText(Shown(v.address));
    address_->setCurrentIndex(address >= 0 ? address : 0);
    auto_start_->setChecked(v.auto_start);
}

void BootDialog::New() {
    creating_ = true;
    names_->addItem(QString());
    names_->setCurrentIndex(names_->count() - 1);
    names_->setEditText(QString());
    names_->setFocus();
}

void BootDialog::accept() {
    BootValues v;
    v.port = Stored(port_->text());
    v.address = Stored(address_->currentText());
    v.auto_start = auto_start_->isChecked();
    const std::string name = Stored(names_->currentText().trimmed());
    switch (SaveBootConfiguration(context_.server.store().AtRoot(), name, creating_, v)) {
        case BootSave::kSaved:
            context_.prompts.Tell(this, PromptIcon::kInformation, windowTitle(),
                                  "Changes will take effect after you restart the program");
            QDialog::accept();
            return;
        case BootSave::kBadName:
            context_.prompts.Beep();
            context_.prompts.Tell(this, PromptIcon::kError, "Error", "Failed name config!");
            return;
        case BootSave::kNoPort:
        case BootSave::kFailed:
            context_.prompts.Beep();
            return;
    }
}

}  // namespace orvana::console
