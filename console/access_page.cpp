#include "console/access_page.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

#include "console/model/receiver_list.h"
#include "core/config_keys.h"
#include "core/config_store.h"
#include "core/server.h"

namespace orvana::console {

AccessPage::AccessPage(ConsoleContext& context, std::string receiver, QWidget* parent)
    : QWidget(parent), context_(context), receiver_(std::move(receiver)) {
    users_ = new QTreeWidget(this);
    users_->setObjectName("accessUsers");
    users_->setRootIsDecorated(false);
    users_->setHeaderLabels({"User Name", "   Accessible     Receivers"});
    users_->setColumnWidth(0, 81);
    auto* add = new QPushButton("Add", this);
    auto* remove = new QPushButton("Remove", this);
    add->setObjectName("accessAdd");
    remove->setObjectName("accessRemove");
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(add);
    buttons->addWidget(remove);
    buttons->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(users_);
    layout->addLayout(buttons);
    connect(add, &QPushButton::clicked, this, &AccessPage::Add);
    connect(remove, &QPushButton::clicked, this, &AccessPage::Remove);
    Reload();
}

void AccessPage::Reload() {
    const int row = users_->currentIndex().row();
    users_->clear();
    const ConfigStore& store = context_.server.store();
    for (const std::string& user : store.SubKeys(cfg::kUsersKey)) {
        const std::string key = std::string(cfg::kUsersKey) + user;
        const std::string list = store.ReadText(key, cfg::kAccessRcv.name, "");
        auto* item = new QTreeWidgetItem(users_);  // owned by the list
        item->setText(0, Shown(user));
        item->setText(1, list.empty() ? QString("??") : Shown(list));
    }
    if (row >= 0 && row < users_->topLevelItemCount())
        users_->setCurrentItem(users_->topLevelItem(row));
}

void AccessPage::Add() {
    QTreeWidgetItem* item = users_->currentItem();
    if (item == nullptr) return;
    if (AddReceiverAccess(context_.server.store(), Stored(item->text(0)), receiver_) ==
        AccessEdit::kAlreadyThere)
        context_.prompts.Tell(this, PromptIcon::kError, "Error", "Already exist!");
    Reload();
}

void AccessPage::Remove() {
    QTreeWidgetItem* item = users_->currentItem();
    if (item == nullptr) return;
    if (RemoveReceiverAccess(context_.server.store(), Stored(item->text(0)), receiver_) ==
        AccessEdit::kNotThere)
        context_.prompts.Tell(this, PromptIcon::kError, "Error", "Can't find!");
    Reload();
}

}  // namespace orvana::console
