#pragma once
// The console's message boxes, behind one seam: the tests answer them and read their texts.

#include <QString>

class QWidget;

namespace orvana::console {

enum class PromptIcon { kInformation, kWarning, kError, kQuestion };

class Prompts {
  public:
    virtual ~Prompts() = default;
    virtual void Tell(QWidget* parent, PromptIcon icon, const QString& title, const QString& text);
    // OK and Cancel; true for OK.
    virtual bool Confirm(QWidget* parent, PromptIcon icon, const QString& title,
                         const QString& text);
    virtual void Beep();
};

}  // namespace orvana::console
