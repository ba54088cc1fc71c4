#pragma once
// Connection: how the receiver is reached (COM, TCP, USB, GATE or MODEM) and that kind's
// settings; the fields of the other kinds are disabled.

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QSpinBox>
#include <QWidget>

#include "console/console_context.h"
#include "console/model/interface_form.h"

namespace orvana::console {

class ConnectionPage : public QWidget {
    Q_OBJECT

  public:
    ConnectionPage(ConsoleContext& context, std::string receiver, QWidget* parent);

    // Writes the chosen interface; false (with the message shown) when it was refused.
    bool Save();
    InterfaceForm Form() const;
    void SetForm(const InterfaceForm& form);

  private:
    void EnableKind(LinkKind kind);
    void ComPortChosen();

    ConsoleContext& context_;
    const std::string receiver_;
    QButtonGroup* kinds_;
    QComboBox *com_port_, *com_speed_;
    QCheckBox* rtscts_;
    QLineEdit *tcp_host_, *tcp_password_;
    QSpinBox* tcp_port_;
    QCheckBox *check_login_, *use_ftp_;
    QComboBox* usb_device_;
    QLineEdit *gate_host_, *gate_user_, *gate_receiver_;
    QComboBox *modem_port_, *modem_speed_;
    QCheckBox* gsm_;
    QLineEdit *pin_, *phone_;
};

}  // namespace orvana::console
