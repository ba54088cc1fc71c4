#pragma once
// A file written piece by piece as bytes arrive (downloads, recorded data streams).

#include <string>
#include <string_view>

namespace orvana::platform {

class OutputFile {
  public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates or truncates the file; "-" is standard output. False with `error` set ("PATH:
    // reason").
    bool Open(const std::string& path, std::string* error);
    // All bytes or false with `error` set.
    bool Write(std::string_view bytes, std::string* error);
    bool Close(std::string* error);
    bool IsOpen() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
    std::string path_;
};

}  // namespace orvana::platform
