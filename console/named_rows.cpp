#include "console/named_rows.h"

#include "core/config_store.h"

namespace orvana::console {

QTreeWidgetItem* StartNewRow(QTreeWidget* list) {
    const QSignalBlocker quiet(list);        // an empty row is no edit yet
    auto* item = new QTreeWidgetItem(list);  // owned by the list
    item->setFlags(item->flags() | Qt::ItemIsEditable);
    item->setData(0, kNameRole, QString());
    list->setCurrentItem(item);
    list->editItem(item, 0);
    return item;
}

void DropRow(QTreeWidget* list, QTreeWidgetItem* item) {
    // An editor still open on the row commits as the row goes: that is no edit of a name.
    const QSignalBlocker quiet(list);
    const int index = list->indexOfTopLevelItem(item);
    std::unique_ptr<QTreeWidgetItem> gone(list->takeTopLevelItem(index));
    if (list->topLevelItemCount() > 0)
        list->setCurrentItem(list->topLevelItem(std::min(index, list->topLevelItemCount() - 1)));
}

RowAfterEdit AfterNameEdit(ConsoleContext& context, QWidget* parent, NameEdit result,
                           bool new_row) {
    switch (result) {
        case NameEdit::kDone:
            return RowAfterEdit::kNamed;
        case NameEdit::kNotDeleted:
            context.prompts.Tell(parent, PromptIcon::kError, "Error", "Can't delete!");
            return RowAfterEdit::kReload;
        case NameEdit::kNameExists:
            context.prompts.Tell(parent, PromptIcon::kError, "Error", "Name already exist!");
            break;
        case NameEdit::kBadName:
        case NameEdit::kFailed:
            break;
    }
    return new_row ? RowAfterEdit::kDrop : RowAfterEdit::kRestore;
}

void RestorePosition(QWidget* w, const ConfigStore& store, const cfg::NumberSetting& x,
                     const cfg::NumberSetting& y) {
    // Stored as DWORDs: a position left of or above the screen's origin comes back negative.
    w->move(static_cast<int>(store.ReadNumber(cfg::kActiveKey, x)),
            static_cast<int>(store.ReadNumber(cfg::kActiveKey, y)));
}

void SavePosition(const QWidget* w, const ConfigStore& store, const cfg::NumberSetting& x,
                  const cfg::NumberSetting& y) {
    store.WriteNumber(cfg::kActiveKey, x.name, static_cast<uint32_t>(w->pos().x()));
    store.WriteNumber(cfg::kActiveKey, y.name, static_cast<uint32_t>(w->pos().y()));
}

}  // namespace orvana::console
