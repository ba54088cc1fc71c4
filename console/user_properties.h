#pragma once
// User "<name>" Properties: password, super user, session limit and home folder; the access
// list is shown here and edited on the receivers' User Access page.

#include <QCheckBox>
#include <QDialog>
#include <QLineEdit>

#include "console/console_context.h"

namespace orvana::console {

class UserProperties : public QDialog {
    Q_OBJECT

  public:
    UserProperties(ConsoleContext& context, std::string user, QWidget* parent);

  public slots:
    void accept() override;
    void ChooseHome();

  private:
    ConsoleContext& context_;
    const std::string user_;
    QLineEdit *password_, *count_, *access_, *home_;
    QCheckBox* super_user_;
};

}  // namespace orvana::console
