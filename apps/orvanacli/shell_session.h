#pragma once
// What a shell keeps between its lines: the receivers it opened, each on its own handle, and
// the data streams that go on into files while other verbs run.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "core/request_client.h"
#include "platform/output_file.h"

namespace orvana::cli {

class ShellSession {
  public:
    // `interactive`: lines are typed, so Ctrl-C ends a verb and not the shell.
    ShellSession(unsigned handle_count, bool interactive)
        : handle_count_(handle_count), interactive_(interactive) {}
    bool interactive() const { return interactive_; }

    std::optional<uint8_t> HandleOf(const std::string& receiver) const;
    // The lowest handle that holds no receiver.
    std::optional<uint8_t> FreeHandle() const;
    void Opened(const std::string& receiver, uint8_t handle);
    // The receiver is closed: its files are closed too.
    void Closed(uint8_t handle);
    // The receivers open, by name.
    const std::map<std::string, uint8_t>& receivers() const { return receivers_; }

    // Data of `group` (0..3) on `handle` goes into `file` from now on, until Detached.
    void KeepOutput(uint8_t handle, int group, std::unique_ptr<platform::OutputFile> file);
    // `group` 4: every group of the handle.
    void Detached(uint8_t handle, int group);
    // Writes a data frame to its file; false when no file takes it. A file that cannot be
    // written is closed with a complaint.
    bool Divert(const ServerFrame& frame);

    // SIGTERM or a lost connection: no further line is read.
    void Terminate() { terminating_ = true; }
    bool terminating() const { return terminating_; }

  private:
    using Key = std::pair<uint8_t, int>;  // handle, group
    void CloseOutput(std::map<Key, std::unique_ptr<platform::OutputFile>>::iterator it);

    unsigned handle_count_;
    bool interactive_;
    std::map<std::string, uint8_t> receivers_;
    std::map<Key, std::unique_ptr<platform::OutputFile>> outputs_;
    bool terminating_ = false;
};

}  // namespace orvana::cli
