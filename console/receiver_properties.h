#pragma once
// Receiver "<name>" Properties: the Connection, Info and User Access pages. OK saves the
// Connection and Info pages; the User Access page writes each change at once.

#include <QDialog>
#include <QTabWidget>

#include "console/console_context.h"

namespace orvana::console {

class ConnectionPage;
class InfoPage;
class AccessPage;

class ReceiverProperties : public QDialog {
    Q_OBJECT

  public:
    ReceiverProperties(ConsoleContext& context, const std::string& receiver, QWidget* parent);

    QTabWidget* tabs() { return tabs_; }
    ConnectionPage* connection() { return connection_; }
    InfoPage* info() { return info_; }
    AccessPage* access() { return access_; }

  public slots:
    void accept() override;

  private:
    ConsoleContext& context_;
    QTabWidget* tabs_;
    ConnectionPage* connection_;
    InfoPage* info_;
    AccessPage* access_;
};

}  // namespace orvana::console
