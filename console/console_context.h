#pragma once
// What every window of the console works with: the running server (and through it the store)
// and the message boxes. Texts of the store are code page 1251 bytes; they are converted only
// where they are shown or typed.

#include <QString>
#include <string>

#include "console/prompts.h"
#include "platform/codepage.h"

namespace orvana {
class Server;
}

namespace orvana::console {

struct ConsoleContext {
    Server& server;
    Prompts& prompts;
};

inline QString Shown(const std::string& stored) {
    return QString::fromStdString(platform::Cp1251ToUtf8(stored));
}

inline std::string Stored(const QString& typed) {
    return platform::Utf8ToCp1251(typed.toStdString());
}

}  // namespace orvana::console
