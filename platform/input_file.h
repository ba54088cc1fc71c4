#pragma once
// A file read from its start piece by piece (a firmware image sent to a receiver).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace orvana::platform {

class InputFile {
  public:
    // An existing regular file opened for reading; nullptr otherwise (a missing file, a folder,
    // a device or pipe that could block).
    static std::unique_ptr<InputFile> Open(const std::string& path);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    int64_t Size() const { return size_; }
    // Up to `size` bytes from where the last read ended: fewer at the end, -1 on error.
    long Read(void* data, size_t size);

  private:
    InputFile(int fd, int64_t size) : fd_(fd), size_(size) {}
    int fd_;
    int64_t size_;
};

}  // namespace orvana::platform
