#pragma once
// Where a shell's lines come from: a file, a pipe or a terminal, read without blocking longer
// than the caller allows, so the caller can look after its connection between keystrokes. A
// terminal is put into raw mode while a line is typed (the caller edits it) and given back as
// it was before anything else runs.

#include <cstdint>
#include <memory>
#include <string>

namespace orvana::platform {

class LineInput {
  public:
    // Standard input when `path` is empty, else that file. nullptr with `error` set.
    static std::unique_ptr<LineInput> Open(const std::string& path, std::string* error);
    ~LineInput();
    LineInput(const LineInput&) = delete;
    LineInput& operator=(const LineInput&) = delete;

    // Standard input and standard output are both a terminal: keystrokes come raw.
    bool interactive() const { return interactive_; }

    enum class Result { kBytes, kIdle, kEnd };
    // Waits up to `wait_ms` for input and appends what came. kEnd at end of input or on error.
    Result Read(uint32_t wait_ms, std::string* bytes);

    // Raw keystrokes on (no echo, no line discipline, no signals from keys) or back to how the
    // terminal was. Does nothing for a file or a pipe.
    void SetRaw(bool on);

  private:
    LineInput(int fd, bool owned, bool interactive);

    int fd_;
    bool owned_;
    bool interactive_;
    bool raw_ = false;
    struct Saved;
    std::unique_ptr<Saved> saved_;  // the terminal's settings before raw mode
};

}  // namespace orvana::platform
