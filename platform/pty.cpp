#include "platform/pty.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>

namespace orvana::platform {
namespace {

struct BaudPair {
    uint32_t baud;
    speed_t code;
};

constexpr BaudPair kBauds[] = {
    {1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},
    {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
    {230400, B230400}, {460800, B460800}, {921600, B921600},
};

bool BaudCode(uint32_t baud, speed_t* code) {
    for (const auto& b : kBauds) {
        if (b.baud == baud) {
            *code = b.code;
            return true;
        }
    }
    return false;
}

uint32_t BaudOf(speed_t code) {
    for (const auto& b : kBauds) {
        if (b.code == code) return b.baud;
    }
    return 0;
}

std::string Reason(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool MakeRaw(int fd, speed_t speed) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return false;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

uint32_t SpeedOf(int fd) {
    if (fd < 0) return 0;
    termios t{};
    if (tcgetattr(fd, &t) != 0) return 0;
    return BaudOf(cfgetospeed(&t));
}

uint32_t NowMs() {
    using namespace std::chrono;
    return static_cast<uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace

bool IsSupportedBaud(uint32_t baud) {
    speed_t code;
    return BaudCode(baud, &code);
}

TerminalDevice::~TerminalDevice() {
    Close();
}

void TerminalDevice::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool TerminalDevice::Adopt(int fd, std::string* error) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        *error = Reason("fcntl");
        ::close(fd);
        return false;
    }
    Close();
    fd_ = fd;
    return true;
}

bool TerminalDevice::Open(const std::string& path, uint32_t baud, std::string* error) {
    speed_t code;
    if (!BaudCode(baud, &code)) {
        *error = "unsupported speed " + std::to_string(baud);
        return false;
    }
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = Reason(path);
        return false;
    }
    if (!MakeRaw(fd, code)) {
        *error = Reason(path + ": termios");
        ::close(fd);
        return false;
    }
    return Adopt(fd, error);
}

int TerminalDevice::WaitReadable(uint32_t timeout_ms) {
    if (fd_ < 0) return -1;
    pollfd p{fd_, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(timeout_ms));
    if (r < 0) return errno == EINTR ? 0 : -1;
    if (r == 0) return 0;
    if (p.revents & POLLIN) return 1;
    return -1;
}

long TerminalDevice::Read(void* buffer, size_t length) {
    if (fd_ < 0) return -1;
    ssize_t n = ::read(fd_, buffer, length);
    if (n >= 0) return n == 0 ? -1 : static_cast<long>(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    return -1;
}

long TerminalDevice::Write(const void* data, size_t length, uint32_t timeout_ms) {
    if (fd_ < 0) return -1;
    const auto* p = static_cast<const unsigned char*>(data);
    size_t done = 0;
    const uint32_t start = NowMs();
    while (done < length) {
        ssize_t n = ::write(fd_, p + done, length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
        const uint32_t spent = NowMs() - start;
        if (spent >= timeout_ms) break;
        pollfd w{fd_, POLLOUT, 0};
        ::poll(&w, 1, static_cast<int>(timeout_ms - spent));
    }
    return static_cast<long>(done);
}

void TerminalDevice::Drain() {
    if (fd_ >= 0) tcdrain(fd_);
}

bool TerminalDevice::SetSpeed(uint32_t baud) {
    speed_t code;
    if (fd_ < 0 || !BaudCode(baud, &code)) return false;
    termios t{};
    if (tcgetattr(fd_, &t) != 0) return false;
    cfsetispeed(&t, code);
    cfsetospeed(&t, code);
    return tcsetattr(fd_, TCSANOW, &t) == 0;
}

uint32_t TerminalDevice::Speed() const {
    return SpeedOf(fd_);
}

bool TerminalDevice::SetRtsCts(bool on) {
    termios t{};
    if (fd_ < 0 || tcgetattr(fd_, &t) != 0) return false;
    if (on) {
        t.c_cflag |= CRTSCTS;
    } else {
        t.c_cflag &= ~CRTSCTS;
    }
    return tcsetattr(fd_, TCSANOW, &t) == 0;
}

PseudoTerminal::~PseudoTerminal() {
    if (slave_fd_ >= 0) ::close(slave_fd_);
}

bool PseudoTerminal::Create(uint32_t baud, std::string* error) {
    speed_t code;
    if (!BaudCode(baud, &code)) {
        *error = "unsupported speed " + std::to_string(baud);
        return false;
    }
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        *error = Reason("posix_openpt");
        return false;
    }
    char name[128] = {0};
    if (grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof name - 1) != 0) {
        *error = Reason("pty set-up");
        ::close(master);
        return false;
    }
    int slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0) {
        *error = Reason(name);
        ::close(master);
        return false;
    }
    // The slave starts raw at `baud`, as a serial port would be before its user configures it.
    if (!MakeRaw(slave, code) || !MakeRaw(master, code)) {
        *error = Reason("pty termios");
        ::close(slave);
        ::close(master);
        return false;
    }
    if (!Adopt(master, error)) {
        ::close(slave);
        return false;
    }
    if (slave_fd_ >= 0) ::close(slave_fd_);
    slave_fd_ = slave;
    slave_path_ = name;
    return true;
}

uint32_t PseudoTerminal::PeerSpeed() const {
    return SpeedOf(slave_fd_);
}

bool PseudoTerminal::PeerRtsCts() const {
    termios t{};
    if (slave_fd_ < 0 || tcgetattr(slave_fd_, &t) != 0) return false;
    return (t.c_cflag & CRTSCTS) != 0;
}

bool MakeSymlink(const std::string& target, const std::string& link_path, std::string* error) {
    std::error_code ec;
    std::filesystem::remove(link_path, ec);
    std::filesystem::create_symlink(target, link_path, ec);
    if (ec) {
        *error = link_path + ": " + ec.message();
        return false;
    }
    return true;
}

void RemoveSymlink(const std::string& target, const std::string& link_path) {
    std::error_code ec;
    if (std::filesystem::is_symlink(link_path, ec) &&
        std::filesystem::read_symlink(link_path, ec).string() == target) {
        std::filesystem::remove(link_path, ec);
    }
}

}  // namespace orvana::platform
