#include "platform/serial_port.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/clock.h"
#include "platform/env.h"

namespace orvana::platform {

namespace {

speed_t SpeedCode(uint32_t baud) {
    switch (baud) {
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        case 230400:
            return B230400;
        case 460800:
            return B460800;
        case 921600:
            return B921600;
        default:
            return B0;
    }
}

}  // namespace

std::string ComDevicePath(const std::string& ports_folder, const std::string& number) {
    if (ports_folder.empty()) return {};
    const std::string link = ports_folder + "/COM" + number;
    struct stat st {};
    return ::lstat(link.c_str(), &st) == 0 ? link : std::string();
}

std::string SystemErrorText(int error) {
    if (error == 0) return {};
    std::string text = std::strerror(error);
    if (text.size() > 256) text.resize(256);
    return text;
}

SerialPort::SerialPort() {
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

SerialPort::~SerialPort() {
    Close();
    if (wake_fd_ >= 0) ::close(wake_fd_);
}

int SerialPort::Open(const std::string& path) {
    Close();
    const int fd = CurrentEnv().Open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd < 0) return errno;
    (void)::ioctl(fd, TIOCEXCL);  // not shared with other openers
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        const int e = errno;
        ::close(fd);
        return e;
    }
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS | CSIZE);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(INPCK | IXON | IXOFF);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, B115200);
    ::cfsetospeed(&tio, B115200);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        const int e = errno;
        ::close(fd);
        return e;
    }
    int dtr = TIOCM_DTR, rts = TIOCM_RTS;
    (void)::ioctl(fd, TIOCMBIC, &dtr);  // a pty refuses these: not an error
    (void)::ioctl(fd, TIOCMBIS, &rts);
    fd_ = fd;
    Purge();
    return 0;
}

void SerialPort::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool SerialPort::SetSpeed(uint32_t baud) {
    const speed_t code = SpeedCode(baud);
    if (fd_ < 0 || code == B0) return false;
    termios tio{};
    if (::tcgetattr(fd_, &tio) != 0) return false;
    ::cfsetispeed(&tio, code);
    ::cfsetospeed(&tio, code);
    return ::tcsetattr(fd_, TCSANOW, &tio) == 0;
}

bool SerialPort::SetFlowControl(bool rts_cts) {
    if (fd_ < 0) return false;
    termios tio{};
    if (::tcgetattr(fd_, &tio) != 0) return false;
    if (rts_cts)
        tio.c_cflag |= CRTSCTS;
    else
        tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    if (::tcsetattr(fd_, TCSANOW, &tio) != 0) return false;
    if (!rts_cts) {
        int rts = TIOCM_RTS;
        (void)::ioctl(fd_, TIOCMBIS, &rts);
    }
    return true;
}

size_t SerialPort::Write(const void* data, size_t length, uint32_t limit_ms) {
    if (fd_ < 0) return 0;
    const char* p = static_cast<const char*>(data);
    const uint32_t start = TickCount();
    size_t done = 0;
    while (done < length) {
        const ssize_t n = CurrentEnv().Write(fd_, p + done, length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) break;
        // The limit is the whole write's: a device that keeps saying it is ready and then takes
        // nothing must not hold the writer.
        const uint32_t spent = TickCount() - start;
        if (spent >= limit_ms) break;
        pollfd pfd{fd_, POLLOUT, 0};
        if (::poll(&pfd, 1, static_cast<int>(limit_ms - spent)) <= 0) break;
    }
    return done;
}

void SerialPort::Purge() {
    if (fd_ >= 0) (void)::tcflush(fd_, TCIOFLUSH);
}

SerialPort::Wait SerialPort::WaitReadable(uint32_t limit_ms) {
    pollfd pfd[2] = {{wake_fd_, POLLIN, 0}, {fd_, POLLIN, 0}};
    const int n = ::poll(pfd, fd_ >= 0 ? 2 : 1, static_cast<int>(limit_ms));
    if (n < 0) return errno == EINTR ? Wait::Readable : Wait::Error;
    if (pfd[0].revents & POLLIN) {
        uint64_t v = 0;
        (void)::read(wake_fd_, &v, sizeof v);
        return Wait::Woken;
    }
    if (n == 0) return Wait::Timeout;
    hangup_seen_ = (pfd[1].revents & POLLHUP) != 0;
    if (pfd[1].revents & POLLIN) return Wait::Readable;
    return hangup_seen_ ? Wait::Hangup : Wait::Error;
}

long SerialPort::Read(void* into, size_t size) {
    if (fd_ < 0) return -1;
    const ssize_t n = CurrentEnv().Read(fd_, into, size);
    if (n < 0) return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
    if (n == 0) return hangup_seen_ ? -1 : 0;
    return static_cast<long>(n);
}

void SerialPort::Wake() {
    const uint64_t one = 1;
    (void)::write(wake_fd_, &one, sizeof one);
}

std::optional<LineErrorCounts> SerialPort::ErrorCounts() const {
    serial_icounter_struct c{};
    if (fd_ < 0 || ::ioctl(fd_, TIOCGICOUNT, &c) != 0) return std::nullopt;
    LineErrorCounts out;
    out.breaks = static_cast<uint32_t>(c.brk);
    out.framing = static_cast<uint32_t>(c.frame);
    out.overrun = static_cast<uint32_t>(c.overrun);
    out.buffer_overrun = static_cast<uint32_t>(c.buf_overrun);
    out.parity = static_cast<uint32_t>(c.parity);
    return out;
}

}  // namespace orvana::platform
