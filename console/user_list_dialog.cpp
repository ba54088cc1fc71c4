#include "console/user_list_dialog.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

#include "console/model/store_keys.h"
#include "console/model/user_list.h"
#include "console/named_rows.h"
#include "console/user_properties.h"
#include "core/config_keys.h"
#include "core/config_store.h"
#include "core/server.h"

namespace orvana::console {
UserListDialog::UserListDialog(ConsoleContext& context, QWidget* parent)
    : QDialog(parent), context_(context) {
    setObjectName("userList");
    list_ = new QTreeWidget(this);
    list_->setObjectName("users");
    list_->setRootIsDecorated(false);
    list_->setHeaderHidden(true);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    auto* add = new QPushButton("Add...", this);
    auto* remove = new QPushButton("Remove", this);
    auto* properties = new QPushButton("Properties...", this);
    auto* ok = new QPushButton("OK", this);
    auto* cancel = new QPushButton("&Cancel", this);
    auto* buttons = new QVBoxLayout;
    for (QPushButton* b : {add, remove, properties, ok, cancel}) buttons->addWidget(b);
    buttons->addStretch();
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(list_, 1);
    layout->addLayout(buttons);
    connect(add, &QPushButton::clicked, this, &UserListDialog::Add);
    connect(remove, &QPushButton::clicked, this, &UserListDialog::Remove);
    connect(properties, &QPushButton::clicked, this, &UserListDialog::Properties);
    connect(ok, &QPushButton::clicked, this, &UserListDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(list_, &QTreeWidget::itemChanged, this, &UserListDialog::ItemChanged);
    connect(list_, &QTreeWidget::itemDoubleClicked, this, &UserListDialog::Properties);
    RestorePosition(this, context_.server.store(), cfg::kXUserList, cfg::kYUserList);
    resize(360, 300);
    Reload();
}

void UserListDialog::Reload() {
    filling_ = true;
    list_->clear();
    for (const std::string& name : context_.server.store().SubKeys(cfg::kUsersKey))
        FillRow(new QTreeWidgetItem(list_), name);  // owned by the list
    filling_ = false;
    if (list_->topLevelItemCount() > 0) list_->setCurrentItem(list_->topLevelItem(0));
    UpdateTitle();
}

void UserListDialog::FillRow(QTreeWidgetItem* item, const std::string& name) {
    const bool was_filling = filling_;
    filling_ = true;
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable | Qt::ItemIsEditable);
    item->setText(0, Shown(name));
    item->setData(0, kNameRole, Shown(name));
    const bool enabled = context_.server.store().ReadFlag(UserKey(name), cfg::kEnableUser);
    item->setCheckState(0, enabled ? Qt::Checked : Qt::Unchecked);
    filling_ = was_filling;
}

// Counted from the check boxes, which follow the store until the operator ticks them.
void UserListDialog::UpdateTitle() {
    int enabled = 0;
    for (int i = 0; i < list_->topLevelItemCount(); ++i)
        if (list_->topLevelItem(i)->checkState(0) == Qt::Checked) ++enabled;
    setWindowTitle(QString("Operators List  Activated:%1").arg(enabled));
}

void UserListDialog::ItemChanged(QTreeWidgetItem* item, int) {
    if (filling_) return;
    const QString old_name = item->data(0, kNameRole).toString();
    if (!old_name.isEmpty() && item->text(0) == old_name) {
        UpdateTitle();  // a tick: written by OK
        return;
    }
    const std::string typed = Stored(item->text(0).trimmed());
    const NameEdit result = EndUserNameEdit(context_.server.store(), Stored(old_name), typed);
    const Qt::CheckState ticked = item->checkState(0);
    switch (AfterNameEdit(context_, this, result, old_name.isEmpty())) {
        case RowAfterEdit::kNamed:
            FillRow(item, typed);
            if (!old_name.isEmpty()) {
                filling_ = true;
                item->setCheckState(0, ticked);  // a tick not yet written stays
                filling_ = false;
            }
            break;
        case RowAfterEdit::kReload:
            Reload();
            return;
        case RowAfterEdit::kRestore:
            filling_ = true;
            item->setText(0, old_name);
            filling_ = false;
            break;
        case RowAfterEdit::kDrop:
            DropRow(list_, item);
            break;
    }
    UpdateTitle();
}

void UserListDialog::Add() {
    StartNewRow(list_);
}

void UserListDialog::Remove() {
    QTreeWidgetItem* item = list_->currentItem();
    if (item == nullptr) return;
    const QString name = item->data(0, kNameRole).toString();
    if (name.isEmpty()) {
        // A new row left without a name: the key it would name is the users key itself.
        DropRow(list_, item);
        return;
    }
    if (!context_.prompts.Confirm(this, PromptIcon::kQuestion, "Attention!",
                                  "Are you sure you want to delete user " + name + "?"))
        return;
    context_.server.store().DeleteKey(UserKey(Stored(name)));
    DropRow(list_, item);
    UpdateTitle();
}

void UserListDialog::Properties() {
    QTreeWidgetItem* item = list_->currentItem();
    if (item == nullptr || item->data(0, kNameRole).toString().isEmpty()) return;
    UserProperties properties(context_, Stored(item->data(0, kNameRole).toString()), this);
    properties.exec();
}

void UserListDialog::accept() {
    const ConfigStore& store = context_.server.store();
    for (int i = 0; i < list_->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = list_->topLevelItem(i);
        const QString name = item->data(0, kNameRole).toString();
        if (name.isEmpty()) continue;
        store.WriteFlag(UserKey(Stored(name)), cfg::kEnableUser.name,
                        item->checkState(0) == Qt::Checked);
    }
    QDialog::accept();
}

void UserListDialog::done(int result) {
    SavePosition(this, context_.server.store(), cfg::kXUserList, cfg::kYUserList);
    QDialog::done(result);
}

}  // namespace orvana::console
