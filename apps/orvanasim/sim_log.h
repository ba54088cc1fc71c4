#pragma once
// The simulator's diagnostics on standard error, and the transcript of received lines.

#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <string_view>

namespace orvana::sim {

// Printable bytes as they are; CR, LF and others as "<cr>", "<lf>", "<%02X>".
std::string Escaped(std::string_view bytes);

void Note(const std::string& text);

class Transcript {
  public:
    bool Open(const std::string& path);
    void Line(std::string_view line);

  private:
    std::mutex lock_;  // TCP connections write from their own threads
    std::ofstream out_;
};

}  // namespace orvana::sim
