#include "console/user_properties.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QPushButton>

#include "console/model/user_list.h"
#include "core/config_keys.h"
#include "core/config_store.h"
#include "core/server.h"

namespace orvana::console {

UserProperties::UserProperties(ConsoleContext& context, std::string user, QWidget* parent)
    : QDialog(parent), context_(context), user_(std::move(user)) {
    setObjectName("userProperties");
    setWindowTitle("User \"" + Shown(user_) + "\" Properties");
    const ConfigStore& store = context_.server.store();
    const std::string key = std::string(cfg::kUsersKey) + user_;
    password_ = new QLineEdit(Shown(store.ReadText(key, cfg::kUserPassword)), this);
    password_->setObjectName("password");
    password_->setEchoMode(QLineEdit::Password);
    super_user_ = new QCheckBox("Can configure receivers", this);
    super_user_->setObjectName("superUser");
    super_user_->setChecked(store.ReadFlag(key, cfg::kSuperUser));
    count_ = new QLineEdit(QString::number(store.ReadNumber(key, cfg::kCountUsr)), this);
    count_->setObjectName("countUsr");
    access_ = new QLineEdit(Shown(store.ReadText(key, cfg::kAccessRcv.name, "")), this);
    access_->setObjectName("accessRcv");
    access_->setReadOnly(true);
    home_ = new QLineEdit(Shown(store.ReadText(key, cfg::kHomeDirectory)), this);
    home_->setObjectName("homeDirectory");
    auto* browse = new QPushButton("...", this);
    auto* home_row = new QHBoxLayout;
    home_row->addWidget(home_);
    home_row->addWidget(browse);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    auto* form = new QFormLayout(this);
    form->addRow("Password:", password_);
    form->addRow(super_user_);
    form->addRow("MAX Counter Connection :", count_);
    form->addRow("Accessible Receivers :", access_);
    form->addRow("Home Directory : ", home_row);
    form->addRow(buttons);
    connect(browse, &QPushButton::clicked, this, &UserProperties::ChooseHome);
    connect(buttons, &QDialogButtonBox::accepted, this, &UserProperties::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

void UserProperties::ChooseHome() {
    const QString chosen = QFileDialog::getExistingDirectory(this, "Home Directory", home_->text());
    if (!chosen.isEmpty()) home_->setText(chosen);
}

void UserProperties::accept() {
    const ConfigStore& store = context_.server.store();
    const std::string key = std::string(cfg::kUsersKey) + user_;
    store.WriteTogether([&] {
        return store.WriteText(key, cfg::kUserPassword.name, Stored(password_->text())) &&
               store.WriteNumber(key, cfg::kCountUsr.name,
                                 SessionLimit(count_->text().trimmed().toStdString())) &&
               store.WriteText(key, cfg::kHomeDirectory.name, Stored(home_->text())) &&
               store.WriteFlag(key, cfg::kSuperUser.name, super_user_->isChecked());
    });
    QDialog::accept();
}

}  // namespace orvana::console
