#pragma once
// Helpers shared by the tests: a temporary folder removed at the end, the built programs, and
// running a program to its end with a bounded wait.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/subprocess.h"

namespace orvana::test {

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Full path of a program built by this project ("orvanasrv", "orvanasim", ...).
std::string ProgramPath(const std::string& name);

// Full path of a file of the source tree ("tests/support/ftp_server.py").
std::string SourcePath(const std::string& relative);

struct ProgramResult {
    int status = -1;  // exit status, 128 + signal, or -1 when it had to be killed
    std::string out;
    std::string err;
};

// Runs the program (a name of this project's, or a path) with `args` (and "NAME=value" entries
// added to its environment) to its end; kills it after `timeout_ms`.
ProgramResult RunProgram(const std::string& name, const std::vector<std::string>& args,
                         unsigned timeout_ms = 20000, const std::vector<std::string>& env = {});

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);

// Polls `done` until it holds or `ms` have passed; whether it held.
bool WaitUntil(const std::function<bool()>& done, uint32_t ms = 5000);
// How often `needle` stands in `text`.
size_t CountOf(const std::string& text, const std::string& needle);
// The event logs (".log") in `folder`, in name order, as one text.
std::string EventLogText(const std::string& folder);
// A loopback port that was free a moment ago.
uint16_t FreePort();
// The numbers or names of a comma-separated list ("1,16,127"), empty items left out.
std::vector<std::string> CommaList(const std::string& text);

}  // namespace orvana::test
