#include "platform/line_input.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace orvana::platform {

struct LineInput::Saved {
    termios settings{};
};

std::unique_ptr<LineInput> LineInput::Open(const std::string& path, std::string* error) {
    if (path.empty()) {
        const bool terminal = ::isatty(STDIN_FILENO) == 1 && ::isatty(STDOUT_FILENO) == 1;
        return std::unique_ptr<LineInput>(new LineInput(STDIN_FILENO, false, terminal));
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *error = path + ": " + std::strerror(errno);
        return nullptr;
    }
    return std::unique_ptr<LineInput>(new LineInput(fd, true, false));
}

LineInput::LineInput(int fd, bool owned, bool interactive)
    : fd_(fd), owned_(owned), interactive_(interactive) {
    if (!interactive_) return;
    saved_ = std::make_unique<Saved>();
    if (::tcgetattr(fd_, &saved_->settings) != 0) interactive_ = false;
}

LineInput::~LineInput() {
    SetRaw(false);
    if (owned_) ::close(fd_);
}

LineInput::Result LineInput::Read(uint32_t wait_ms, std::string* bytes) {
    pollfd p{fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(wait_ms));
    if (ready == 0) return Result::kIdle;
    if (ready < 0) return errno == EINTR ? Result::kIdle : Result::kEnd;
    char buffer[4096];
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return Result::kIdle;
    if (n <= 0) return Result::kEnd;
    bytes->append(buffer, static_cast<size_t>(n));
    return Result::kBytes;
}

void LineInput::SetRaw(bool on) {
    if (!interactive_ || on == raw_) return;
    termios t = saved_->settings;
    if (on) {
        t.c_iflag &= ~static_cast<tcflag_t>(BRKINT | ICRNL | INPCK | ISTRIP | IXON);
        t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | IEXTEN | ISIG);
        t.c_cflag |= CS8;
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
    }
    // Output processing stays on, so "\n" still starts a new line at the margin.
    if (::tcsetattr(fd_, TCSADRAIN, &t) == 0) raw_ = on;
}

}  // namespace orvana::platform
