#pragma once
// Operators List: the users of the store with their check boxes (EnableUser). Names, removals
// and properties are written at once; the check boxes only when OK is pressed.

#include <QDialog>
#include <QTreeWidget>

#include "console/console_context.h"

namespace orvana::console {

class UserListDialog : public QDialog {
    Q_OBJECT

  public:
    UserListDialog(ConsoleContext& context, QWidget* parent);
    QTreeWidget* list() { return list_; }

  public slots:
    void Add();
    void Remove();
    void Properties();
    void accept() override;

  protected:
    void done(int result) override;

  private:
    void Reload();
    void FillRow(QTreeWidgetItem* item, const std::string& name);
    void UpdateTitle();
    void ItemChanged(QTreeWidgetItem* item, int column);

    ConsoleContext& context_;
    QTreeWidget* list_;
    bool filling_ = false;
};

}  // namespace orvana::console
