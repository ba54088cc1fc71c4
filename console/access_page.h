#pragma once
// User Access: every user with its access list; Add and Remove put this receiver into the
// selected user's list or take it out, written at once.

#include <QTreeWidget>
#include <QWidget>

#include "console/console_context.h"

namespace orvana::console {

class AccessPage : public QWidget {
    Q_OBJECT

  public:
    AccessPage(ConsoleContext& context, std::string receiver, QWidget* parent);
    QTreeWidget* users() { return users_; }

  public slots:
    void Add();
    void Remove();

  private:
    void Reload();

    ConsoleContext& context_;
    const std::string receiver_;
    QTreeWidget* users_;
};

}  // namespace orvana::console
