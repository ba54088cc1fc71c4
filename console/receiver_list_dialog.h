#pragma once
// Receiver List: every receiver of the store with its check box (EnableRcv), interface and, for
// an open one, its error count. Every change is written at once and reaches the running server.

#include <QDialog>
#include <QTimer>
#include <QTreeWidget>

#include "console/console_context.h"

namespace orvana::console {

class ReceiverListDialog : public QDialog {
    Q_OBJECT

  public:
    static constexpr int kErrorsRefreshMs = 10000;

    ReceiverListDialog(ConsoleContext& context, QWidget* parent);
    QTreeWidget* list() { return list_; }

  public slots:
    void Add();
    void Remove();
    void Properties();
    void RefreshErrors();

  protected:
    void done(int result) override;

  private:
    void Reload();
    void FillRow(QTreeWidgetItem* item, const std::string& name);
    void UpdateTitle();
    void ItemChanged(QTreeWidgetItem* item, int column);
    void NameEdited(QTreeWidgetItem* item);

    ConsoleContext& context_;
    QTreeWidget* list_;
    QTimer errors_timer_;
    bool filling_ = false;  // rows being filled by the dialog itself, not edited
};

}  // namespace orvana::console
