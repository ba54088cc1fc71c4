#include "console/prompts.h"

#include <QApplication>
#include <QMessageBox>

namespace orvana::console {
namespace {

QMessageBox::Icon BoxIcon(PromptIcon icon) {
    switch (icon) {
        case PromptIcon::kInformation:
            return QMessageBox::Information;
        case PromptIcon::kWarning:
            return QMessageBox::Warning;
        case PromptIcon::kError:
            return QMessageBox::Critical;
        case PromptIcon::kQuestion:
            return QMessageBox::Question;
    }
    return QMessageBox::NoIcon;
}

}  // namespace

void Prompts::Tell(QWidget* parent, PromptIcon icon, const QString& title, const QString& text) {
    QMessageBox box(BoxIcon(icon), title, text, QMessageBox::Ok, parent);
    box.exec();
}

bool Prompts::Confirm(QWidget* parent, PromptIcon icon, const QString& title, const QString& text) {
    QMessageBox box(BoxIcon(icon), title, text, QMessageBox::Ok | QMessageBox::Cancel, parent);
    return box.exec() == QMessageBox::Ok;
}

void Prompts::Beep() {
    QApplication::beep();
}

}  // namespace orvana::console
