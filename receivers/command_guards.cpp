#include "receivers/command_guards.h"

#include <string>

#include "core/text.h"

namespace orvana {
namespace {

constexpr std::string_view kGuardedWords[] = {"%set,", "%init,", "%set,/par/reset,yes", "%em,",
                                              "%dm,"};
// Commands that act on a port; the server's own one must stay as the server set it.
constexpr std::string_view kPortWords[] = {"em", "dm", "set"};

bool Contains(std::string_view text, std::string_view word) {
    return text.find(word) != std::string_view::npos;
}

bool EndsCommand(char c) {
    return c == ';' || c == '|' || c == '&' || c == '@' || c == ' ' || c == '\t' || c == '\r';
}

// A command word starts a line (after blanks), follows its tag's closing '%', or follows a
// separator of several commands on one line.
bool StartsCommand(std::string_view line, size_t at) {
    if (at == 0) return true;
    const char before = line[at - 1];
    if (before == '%' || before == ';' || before == '|' || before == '&') return true;
    return line.find_first_not_of(" \t") == at;
}

bool TouchesOwnPort(std::string_view line, std::string_view terminal) {
    for (std::string_view word : kPortWords) {
        for (size_t at = line.find(word); at != std::string_view::npos;
             at = line.find(word, at + 1)) {
            if (!StartsCommand(line, at)) continue;
            const std::string_view rest = line.substr(at + word.size());
            // "dm" or "em" alone acts on the port the command came in on.
            if (rest.empty() || (word != "set" && EndsCommand(rest.front()))) return true;
            if (rest.front() != ',') continue;
            const std::string_view q = rest.substr(1);
            if (Contains(q, "cur/term") || Contains(q, terminal) ||
                (!q.empty() && q.front() == ','))
                return true;
        }
    }
    return false;
}

}  // namespace

bool NeedsSuperUser(std::string_view command) {
    const std::string text = ToLowerAscii(command);
    for (std::string_view word : kGuardedWords)
        if (Contains(text, word)) return true;
    return false;
}

bool IsBlockedCommand(std::string_view command, std::string_view terminal) {
    const std::string text = ToLowerAscii(command);
    const std::string port = ToLowerAscii(terminal);
    std::string_view rest = text;
    for (;;) {
        const size_t lf = rest.find('\n');
        if (TouchesOwnPort(rest.substr(0, lf), port)) return true;
        if (lf == std::string_view::npos) return false;
        rest.remove_prefix(lf + 1);
    }
}

bool IsFullReset(std::string_view command) {
    const std::string text = ToLowerAscii(command);
    return Contains(text, "init,/dev/nvm/") && Contains(text, "set,/par/reset,yes");
}

}  // namespace orvana
