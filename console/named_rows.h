#pragma once
// What the receiver and operator lists share: rows named in place, the messages at the end of
// such an edit, and the dialog's position kept in the store.

#include <QTreeWidget>

#include "console/console_context.h"
#include "console/model/user_list.h"
#include "core/config_keys.h"

namespace orvana::console {

inline constexpr int kNameRole = Qt::UserRole;  // the stored name; empty for a row being added

// A new row at the end, selected, its name open for typing.
QTreeWidgetItem* StartNewRow(QTreeWidget* list);
// Removes the row; the one before it becomes selected when it was the last.
void DropRow(QTreeWidget* list, QTreeWidgetItem* item);

enum class RowAfterEdit {
    kNamed,    // the row takes the typed name
    kReload,   // the store has both names: the list is read again
    kRestore,  // the row keeps its old name
    kDrop,     // a new row that got no name goes
};
// Shows the edit's message, if it has one, and says what becomes of the row.
RowAfterEdit AfterNameEdit(ConsoleContext& context, QWidget* parent, NameEdit result, bool new_row);

void RestorePosition(QWidget* w, const ConfigStore& store, const cfg::NumberSetting& x,
                     const cfg::NumberSetting& y);
void SavePosition(const QWidget* w, const ConfigStore& store, const cfg::NumberSetting& x,
                  const cfg::NumberSetting& y);

}  // namespace orvana::console
