#pragma once
// Pseudo-terminals and terminal devices opened by path. The simulator owns the master end of a
// pair and plays a serial receiver on it; tests (and anything else that plays the host side)
// open the slave path with TerminalDevice. Both ends are raw: no echo, no line editing, no
// translation of CR or LF, so every byte arrives as it was written.
//
// On Linux the two ends of a pair share one termios record (the master's calls act on the
// slave's), so PeerSpeed() and Speed() always agree. A simulator that plays a receiver keeps its
// own line speed itself and compares it with PeerSpeed(), the speed the host set (bytes
// themselves are never garbled on a pty).

#include <cstddef>
#include <cstdint>
#include <string>

namespace orvana::platform {

// A terminal file descriptor with non-blocking, bounded I/O.
class TerminalDevice {
  public:
    TerminalDevice() = default;
    ~TerminalDevice();
    TerminalDevice(const TerminalDevice&) = delete;
    TerminalDevice& operator=(const TerminalDevice&) = delete;

    // Opens a terminal path (for example a pty slave) raw at `baud`.
    bool Open(const std::string& path, uint32_t baud, std::string* error);
    bool IsOpen() const { return fd_ >= 0; }
    void Close();

    // 1 readable, 0 time-out, -1 error or hang-up.
    int WaitReadable(uint32_t timeout_ms);
    // Whatever is waiting, up to `length` bytes: >0 bytes, 0 nothing there, -1 error.
    long Read(void* buffer, size_t length);
    // Writes everything within `timeout_ms`; the count written (short on time-out), -1 on error.
    long Write(const void* data, size_t length, uint32_t timeout_ms);
    // Waits until everything written has left (bounded by the system).
    void Drain();

    // Line speed in baud; false for a rate the system does not have.
    bool SetSpeed(uint32_t baud);
    // The output speed in baud, 0 when unknown.
    uint32_t Speed() const;
    bool SetRtsCts(bool on);

  protected:
    bool Adopt(int fd, std::string* error);
    int fd_ = -1;
};

// A pseudo-terminal pair: this object owns the master and keeps one slave descriptor open, so the
// master never sees a hang-up while no host has the slave open.
class PseudoTerminal : public TerminalDevice {
  public:
    PseudoTerminal() = default;
    ~PseudoTerminal();

    bool Create(uint32_t baud, std::string* error);
    const std::string& SlavePath() const { return slave_path_; }
    // The slave side's current speed as the host set it, 0 when unknown.
    uint32_t PeerSpeed() const;
    // The slave side's RTS/CTS setting.
    bool PeerRtsCts() const;

  private:
    int slave_fd_ = -1;
    std::string slave_path_;
};

// Baud rates the system can set, as numbers (9600, 115200, ...).
bool IsSupportedBaud(uint32_t baud);

// Makes `link_path` a symbolic link to `target`, replacing an older link of that name.
bool MakeSymlink(const std::string& target, const std::string& link_path, std::string* error);
// Removes the link if it still points at `target`.
void RemoveSymlink(const std::string& target, const std::string& link_path);

}  // namespace orvana::platform
