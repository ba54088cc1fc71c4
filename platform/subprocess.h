#pragma once
// A child process with its standard output and error on pipes. Used to start helper programs
// (the log viewer, and the programs under test). Every wait is bounded.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvana::platform {

class Subprocess {
  public:
    Subprocess() = default;
    ~Subprocess();  // kills (SIGKILL) and reaps a child still running
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    // argv[0] is the program path. `extra_env` entries are "NAME=value" and replace inherited
    // ones of that name. The object may be started again once its child has ended.
    bool Start(const std::vector<std::string>& argv, std::string* error,
               const std::vector<std::string>& extra_env = {});

    pid_t pid() const { return pid_; }
    bool Running();

    // The next line of standard output without its line end, or nullopt when none came within
    // `timeout_ms` (or the output ended). Everything read is also kept in StdoutSoFar().
    std::optional<std::string> ReadLine(uint32_t timeout_ms);
    // Reads standard output until a line containing `needle`; that line, or nullopt.
    std::optional<std::string> WaitForLine(const std::string& needle, uint32_t timeout_ms);
    const std::string& StdoutSoFar() const { return out_all_; }
    // Standard error collected so far (drained without blocking).
    std::string Stderr();

    bool Signal(int signo);
    // Exit status (or 128 + signal) when the child ended within `timeout_ms`.
    std::optional<int> Wait(uint32_t timeout_ms);

  private:
    void Drain(int fd, std::string* into);

    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    std::string out_buf_;
    std::string out_all_;
    std::string err_all_;
    std::optional<int> status_;
};

// Starts a program that lives on by itself (a viewer the operator opens); false with `error` set
// when it could not be started (not found, not executable). Children that have ended by the next
// call are reaped then.
bool StartDetached(const std::vector<std::string>& argv, std::string* error);

}  // namespace orvana::platform
