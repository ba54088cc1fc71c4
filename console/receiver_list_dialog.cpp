#include "console/receiver_list_dialog.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

#include "console/model/receiver_list.h"
#include "console/named_rows.h"
#include "console/receiver_properties.h"
#include "core/config_keys.h"
#include "core/config_store.h"
#include "core/server.h"

namespace orvana::console {
namespace {

constexpr int kNameColumn = 0, kInterfaceColumn = 1, kErrorsColumn = 2;
constexpr int kCheckedRole = kNameRole + 1;  // the check box as last written

}  // namespace

ReceiverListDialog::ReceiverListDialog(ConsoleContext& context, QWidget* parent)
    : QDialog(parent), context_(context) {
    setObjectName("receiverList");
    list_ = new QTreeWidget(this);
    list_->setObjectName("receivers");
    list_->setRootIsDecorated(false);
    list_->setColumnCount(3);
    list_->setHeaderLabels({"    Receiver", "Interface", "Errors"});
    const int average = fontMetrics().averageCharWidth();
    list_->setColumnWidth(kNameColumn, average * 10);
    list_->setColumnWidth(kInterfaceColumn, average * 14);
    list_->setColumnWidth(kErrorsColumn, average * 5);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);

    auto* add = new QPushButton("Add...", this);
    auto* remove = new QPushButton("Remove", this);
    auto* properties = new QPushButton("Properties...", this);
    auto* ok = new QPushButton("OK", this);
    add->setObjectName("add");
    remove->setObjectName("remove");
    properties->setObjectName("properties");
    auto* buttons = new QVBoxLayout;
    for (QPushButton* b : {add, remove, properties, ok}) buttons->addWidget(b);
    buttons->addStretch();
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(list_, 1);
    layout->addLayout(buttons);
    connect(add, &QPushButton::clicked, this, &ReceiverListDialog::Add);
    connect(remove, &QPushButton::clicked, this, &ReceiverListDialog::Remove);
    connect(properties, &QPushButton::clicked, this, &ReceiverListDialog::Properties);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(list_, &QTreeWidget::itemChanged, this, &ReceiverListDialog::ItemChanged);
    connect(list_, &QTreeWidget::itemDoubleClicked, this, &ReceiverListDialog::Properties);
    connect(&errors_timer_, &QTimer::timeout, this, &ReceiverListDialog::RefreshErrors);
    errors_timer_.start(kErrorsRefreshMs);

    RestorePosition(this, context_.server.store(), cfg::kXRcvList, cfg::kYRcvList);
    resize(520, 320);
    Reload();
}

void ReceiverListDialog::Reload() {
    filling_ = true;
    list_->clear();
    for (const std::string& name : context_.server.store().SubKeys(cfg::kReceiversKey))
        FillRow(new QTreeWidgetItem(list_), name);  // owned by the list
    filling_ = false;
    if (list_->topLevelItemCount() > 0) list_->setCurrentItem(list_->topLevelItem(0));
    UpdateTitle();
    RefreshErrors();
}

void ReceiverListDialog::FillRow(QTreeWidgetItem* item, const std::string& name) {
    const bool was_filling = filling_;
    filling_ = true;
    const ReceiverRow row = ReadReceiverRow(context_.server.store(), name);
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable | Qt::ItemIsEditable);
    item->setText(kNameColumn, Shown(name));
    item->setData(kNameColumn, kNameRole, Shown(name));
    item->setCheckState(kNameColumn, row.enabled ? Qt::Checked : Qt::Unchecked);
    item->setData(kNameColumn, kCheckedRole, row.enabled);
    item->setText(kInterfaceColumn, Shown(row.interface_column));
    filling_ = was_filling;
}

void ReceiverListDialog::UpdateTitle() {
    setWindowTitle(
        QString("Receiver List  Activated:%1").arg(CountEnabledReceivers(context_.server.store())));
}

void ReceiverListDialog::RefreshErrors() {
    auto errors = OpenReceiverErrors(context_.server);
    if (!errors) return;  // the table is busy: the next tick shows them
    const bool was_filling = filling_;
    filling_ = true;
    for (int i = 0; i < list_->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = list_->topLevelItem(i);
        const std::string name = Stored(item->data(kNameColumn, kNameRole).toString());
        QString text;
        for (const auto& [open, count] : *errors)
            if (open == name) text = Shown(count);
        item->setText(kErrorsColumn, text);
    }
    filling_ = was_filling;
}

void ReceiverListDialog::Add() {
    StartNewRow(list_);
}

void ReceiverListDialog::ItemChanged(QTreeWidgetItem* item, int column) {
    if (filling_ || column != kNameColumn) return;
    const QString old_name = item->data(kNameColumn, kNameRole).toString();
    if (item->text(kNameColumn) != old_name || old_name.isEmpty()) {
        NameEdited(item);
        return;
    }
    const bool checked = item->checkState(kNameColumn) == Qt::Checked;
    if (checked == item->data(kNameColumn, kCheckedRole).toBool()) return;
    SetReceiverEnabled(context_.server, Stored(old_name), checked);
    FillRow(item, Stored(old_name));
    UpdateTitle();
}

void ReceiverListDialog::NameEdited(QTreeWidgetItem* item) {
    const QString old_name = item->data(kNameColumn, kNameRole).toString();
    const std::string typed = Stored(item->text(kNameColumn).trimmed());
    const NameEdit result = EndReceiverNameEdit(context_.server, Stored(old_name), typed);
    switch (AfterNameEdit(context_, this, result, old_name.isEmpty())) {
        case RowAfterEdit::kNamed:
            FillRow(item, typed);
            break;
        case RowAfterEdit::kReload:
            Reload();
            return;
        case RowAfterEdit::kRestore:
            FillRow(item, Stored(old_name));
            break;
        case RowAfterEdit::kDrop:
            DropRow(list_, item);
            break;
    }
    UpdateTitle();
}

void ReceiverListDialog::Remove() {
    QTreeWidgetItem* item = list_->currentItem();
    if (item == nullptr) return;
    const QString name = item->data(kNameColumn, kNameRole).toString();
    if (name.isEmpty()) {
        // A new row left without a name (its edit was cancelled): nothing of it is stored.
        DropRow(list_, item);
        return;
    }
    if (!context_.prompts.Confirm(this, PromptIcon::kQuestion, "Attention!",
                                  "Are you sure you want to delete receiver " + name + "?"))
        return;
    if (RemoveReceiver(context_.server, Stored(name)) == RemoveResult::kInUse) {
        context_.prompts.Tell(this, PromptIcon::kWarning, "Attention!", "This receiver now used");
        return;
    }
    DropRow(list_, item);
    UpdateTitle();
}

void ReceiverListDialog::Properties() {
    QTreeWidgetItem* item = list_->currentItem();
    if (item == nullptr) return;
    const QString name = item->data(kNameColumn, kNameRole).toString();
    if (name.isEmpty()) return;
    ReceiverProperties properties(context_, Stored(name), this);
    properties.exec();
    FillRow(item, Stored(name));
}

void ReceiverListDialog::done(int result) {
    SavePosition(this, context_.server.store(), cfg::kXRcvList, cfg::kYRcvList);
    QDialog::done(result);
}

}  // namespace orvana::console
