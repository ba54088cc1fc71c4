#include "platform/terminal.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>

namespace orvana::platform {

bool StdoutIsTerminal() {
    return ::isatty(STDOUT_FILENO) == 1;
}

std::optional<std::string> AskSecretOnTerminal(const std::string& prompt) {
    // Only a person at the keyboard is asked: a program run from a script must not wait.
    if (::isatty(STDIN_FILENO) != 1) return std::nullopt;
    const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    termios saved{};
    const bool quiet = ::tcgetattr(fd, &saved) == 0;
    if (quiet) {
        termios silent = saved;
        silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        silent.c_lflag |= ICANON;
        ::tcsetattr(fd, TCSAFLUSH, &silent);
    }
    (void)!::write(fd, prompt.data(), prompt.size());
    std::string line;
    char c = 0;
    ssize_t n = 0;
    while ((n = ::read(fd, &c, 1)) == 1 && c != '\n') line.push_back(c);
    if (quiet) ::tcsetattr(fd, TCSAFLUSH, &saved);
    (void)!::write(fd, "\n", 1);
    ::close(fd);
    if (n < 0) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

std::optional<std::string> EnvironmentValue(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

}  // namespace orvana::platform
