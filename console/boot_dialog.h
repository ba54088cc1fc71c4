#pragma once
// Choose Boot Configuration: the configuration the server runs when started without a name, and
// each configuration's listening address and port, for the next start.

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>

#include "console/console_context.h"

namespace orvana::console {

class BootDialog : public QDialog {
    Q_OBJECT

  public:
    BootDialog(ConsoleContext& context, QWidget* parent);

  public slots:
    void New();
    void accept() override;

  private:
    void ShowConfiguration(int index);

    ConsoleContext& context_;
    QComboBox *names_, *address_;
    QLineEdit* port_;
    QCheckBox* auto_start_;
    bool creating_ = false;
};

}  // namespace orvana::console
