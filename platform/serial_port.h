#pragma once
// A serial device opened raw (termios), with a wake-up descriptor so that a reader blocked in
// WaitReadable returns at once when the owner shuts it down.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace orvana::platform {

// The device behind "COM n": PORTS/COMn; "" when that entry does not exist (a port is known
// only by its link, never guessed).
std::string ComDevicePath(const std::string& ports_folder, const std::string& number);

// The system's text for an errno value ("" for 0), at most 256 characters.
std::string SystemErrorText(int error);

// The errno meaning "a device attached to the system is not functioning" (retried on open).
inline constexpr int kDeviceNotFunctioning = 5;  // EIO

// The driver's running totals of line errors since the port was opened.
struct LineErrorCounts {
    uint32_t breaks = 0;
    uint32_t framing = 0;
    uint32_t overrun = 0;         // characters lost in the UART
    uint32_t buffer_overrun = 0;  // characters lost for want of input buffer
    uint32_t parity = 0;
};

class SerialPort {
  public:
    SerialPort();
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens the device exclusively and sets it raw at 115200 8N1, no flow control, DTR off and
    // RTS on (devices refusing modem-control calls, such as ptys, are accepted). 0 or errno.
    int Open(const std::string& path);
    void Close();
    bool IsOpen() const { return fd_ >= 0; }

    bool SetSpeed(uint32_t baud);
    bool SetFlowControl(bool rts_cts);
    // Bytes written within `limit_ms`.
    size_t Write(const void* data, size_t length, uint32_t limit_ms);
    // Drops both queues.
    void Purge();

    enum class Wait { Readable, Timeout, Woken, Hangup, Error };
    // Waits until bytes can be read or Wake() was called; never longer than `limit_ms`.
    // Hangup: the other end of the line is gone (a pty whose master was closed).
    Wait WaitReadable(uint32_t limit_ms);
    // Reads what is queued, at most `size` bytes, without blocking. -1 on error or when the
    // other end hung up.
    long Read(void* into, size_t size);
    void Wake();
    // nullopt for a device whose driver keeps no counts (a pseudo-terminal).
    std::optional<LineErrorCounts> ErrorCounts() const;

  private:
    int fd_ = -1;
    int wake_fd_ = -1;
    // The last wait saw POLLHUP: a read of nothing now means the other end is gone, where on a
    // healthy port it only means the bytes were flushed after the wait.
    bool hangup_seen_ = false;
};

}  // namespace orvana::platform
