#include "console/connection_page.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QRadioButton>
#include <QVBoxLayout>

#include "core/server.h"
#include "links/usb_link.h"
#include "platform/port_folder.h"

namespace orvana::console {
namespace {

QComboBox* BaudList(QWidget* parent) {
    auto* box = new QComboBox(parent);
    for (const char* rate : kBaudRates) box->addItem(rate);
    return box;
}

// Selects `text`, adding it first when the list lacks it (a port since unplugged).
void Choose(QComboBox* box, const QString& text) {
    if (box->findText(text) < 0) box->addItem(text);
    box->setCurrentIndex(box->findText(text));
}

}  // namespace

ConnectionPage::ConnectionPage(ConsoleContext& context, std::string receiver, QWidget* parent)
    : QWidget(parent), context_(context), receiver_(std::move(receiver)) {
    setObjectName("connectionPage");
    kinds_ = new QButtonGroup(this);
    auto* layout = new QVBoxLayout(this);
    auto section = [&](LinkKind kind, const char* title) {
        auto* radio = new QRadioButton(title, this);
        radio->setObjectName(QString("kind") + title);
        kinds_->addButton(radio, static_cast<int>(kind));
        auto* box = new QGroupBox(this);
        box->setObjectName(QString("fields") + title);
        auto* form = new QFormLayout(box);
        layout->addWidget(radio);
        layout->addWidget(box);
        return form;
    };

    QFormLayout* com = section(LinkKind::kCom, "COM");
    com_port_ = new QComboBox(this);
    com_port_->setObjectName("comPort");
    modem_port_ = new QComboBox(this);
    modem_port_->setObjectName("modemPort");
    for (const std::string& port : platform::ListComPorts(context_.server.options().ports_folder)) {
        const QString entry = "COM " + Shown(port.substr(3));
        com_port_->addItem(entry);
        modem_port_->addItem(entry);
    }
    com_speed_ = BaudList(this);
    com_speed_->setObjectName("comSpeed");
    rtscts_ = new QCheckBox("RTS/CTS", this);
    rtscts_->setObjectName("rtscts");
    com->addRow("Port:", com_port_);
    com->addRow("Baud Rate:", com_speed_);
    com->addRow(rtscts_);

    QFormLayout* tcp = section(LinkKind::kTcp, "TCP");
    tcp_host_ = new QLineEdit(this);
    tcp_host_->setObjectName("tcpHost");
    tcp_port_ = new QSpinBox(this);
    tcp_port_->setObjectName("tcpPort");
    tcp_port_->setRange(0, 65535);
    check_login_ = new QCheckBox("Password :", this);
    check_login_->setObjectName("checkLogin");
    tcp_password_ = new QLineEdit(this);
    tcp_password_->setObjectName("tcpPassword");
    use_ftp_ = new QCheckBox("Use FTP to download files", this);
    use_ftp_->setObjectName("useFtp");
    tcp->addRow("IP Address or Host name: ", tcp_host_);
    tcp->addRow("Port :", tcp_port_);
    tcp->addRow(check_login_, tcp_password_);
    tcp->addRow(use_ftp_);

    QFormLayout* usb = section(LinkKind::kUsb, "USB");
    usb_device_ = new QComboBox(this);
    usb_device_->setObjectName("usbDevice");
    for (const UsbReceiverDevice& d : EnumerateUsbReceivers())
        usb_device_->addItem(Shown(UsbIdentifier(d.path)));
    usb->addRow("Device:", usb_device_);

    QFormLayout* gate = section(LinkKind::kGate, "GATE");
    gate_host_ = new QLineEdit(this);
    gate_host_->setObjectName("gateHost");
    gate_user_ = new QLineEdit(this);
    gate_user_->setObjectName("gateUser");
    gate_receiver_ = new QLineEdit(this);
    gate_receiver_->setObjectName("gateReceiver");
    gate->addRow("Server IP : ", gate_host_);
    gate->addRow("User :", gate_user_);
    gate->addRow("Receiver", gate_receiver_);

    QFormLayout* modem = section(LinkKind::kModem, "MODEM");
    modem_speed_ = BaudList(this);
    modem_speed_->setObjectName("modemSpeed");
    gsm_ = new QCheckBox("GSM", this);
    gsm_->setObjectName("gsm");
    pin_ = new QLineEdit(this);
    pin_->setObjectName("pin");
    phone_ = new QLineEdit(this);
    phone_->setObjectName("phone");
    modem->addRow("Port:", modem_port_);
    modem->addRow("Baud Rate:", modem_speed_);
    modem->addRow(gsm_);
    modem->addRow("PIN :", pin_);
    modem->addRow("Phone Number : ", phone_);
    layout->addStretch();

    connect(kinds_, &QButtonGroup::idClicked, this,
            [this](int id) { EnableKind(static_cast<LinkKind>(id)); });
    connect(com_port_, &QComboBox::activated, this, &ConnectionPage::ComPortChosen);
    SetForm(ReadInterfaceForm(context_.server.store(), receiver_));
}

void ConnectionPage::EnableKind(LinkKind kind) {
    kinds_->button(static_cast<int>(kind))->setChecked(true);
    for (QAbstractButton* b : kinds_->buttons()) {
        auto* box = findChild<QGroupBox*>("fields" + b->text());
        if (box != nullptr) box->setEnabled(b->isChecked());
    }
}

void ConnectionPage::ComPortChosen() {
    InterfaceForm f = Form();
    ShowComPort(context_.server.store(), Stored(com_port_->currentText()), &f);
    rtscts_->setChecked(f.rtscts);
    Choose(com_speed_, Shown(f.speed));
}

void ConnectionPage::SetForm(const InterfaceForm& f) {
    Choose(com_port_, Shown(f.com_port));
    Choose(modem_port_, Shown(f.com_port));
    Choose(com_speed_, Shown(f.speed));
    Choose(modem_speed_, Shown(f.speed));
    rtscts_->setChecked(f.rtscts);
    tcp_host_->setText(Shown(f.host));
    tcp_port_->setValue(static_cast<int>(f.port));
    check_login_->setChecked(f.check_login);
    tcp_password_->setText(Shown(f.password));
    use_ftp_->setChecked(f.use_ftp);
    if (!f.usb_device.empty()) Choose(usb_device_, Shown(f.usb_device));
    gate_host_->setText(Shown(f.gate_host));
    gate_user_->setText(Shown(f.gate_user));
    gate_receiver_->setText(Shown(f.gate_receiver));
    gsm_->setChecked(f.gsm);
    pin_->setText(Shown(f.pin));
    phone_->setText(Shown(f.phone));
    EnableKind(f.kind);
}

InterfaceForm ConnectionPage::Form() const {
    InterfaceForm f;
    f.kind = static_cast<LinkKind>(kinds_->checkedId());
    const bool modem = f.kind == LinkKind::kModem;
    f.com_port = Stored((modem ? modem_port_ : com_port_)->currentText());
    f.speed = Stored((modem ? modem_speed_ : com_speed_)->currentText());
    f.rtscts = rtscts_->isChecked();
    f.host = Stored(tcp_host_->text().trimmed());
    f.port = static_cast<uint32_t>(tcp_port_->value());
    f.check_login = check_login_->isChecked();
    f.password = Stored(tcp_password_->text());
    f.use_ftp = use_ftp_->isChecked();
    f.usb_device = Stored(usb_device_->currentText());
    f.gate_host = Stored(gate_host_->text().trimmed());
    f.gate_user = Stored(gate_user_->text());
    f.gate_receiver = Stored(gate_receiver_->text());
    f.gsm = gsm_->isChecked();
    f.pin = Stored(pin_->text());
    f.phone = Stored(phone_->text());
    return f;
}

bool ConnectionPage::Save() {
    switch (SaveInterfaceForm(context_.server.store(), receiver_, Form())) {
        case SaveResult::kSaved:
            return true;
        case SaveResult::kInterfaceUsed:
            context_.prompts.Tell(this, PromptIcon::kError, "Error", "Inretface already used!");
            return false;
        case SaveResult::kFailed:
            context_.prompts.Tell(this, PromptIcon::kError, "Error", "Can't save!");
            return false;
    }
    return false;
}

}  // namespace orvana::console
