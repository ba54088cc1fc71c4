#pragma once
// A Hayes modem's answer to one command, as its bytes come: a verbose modem's line starts with
// "\r\n" and ends at the next carriage return. At most kSize bytes are kept; bytes after the
// end are not looked at.

#include <cstddef>
#include <string>
#include <string_view>

namespace orvana {

class ModemReplyLine {
  public:
    static constexpr size_t kSize = 4096;

    void Clear();
    // Takes the bytes of one read; true when this read completed the line.
    bool Append(const char* bytes, size_t n);
    bool done() const { return done_; }
    // Whether the line, its leading "\r\n" included, begins with `prefix`.
    bool StartsWith(std::string_view prefix) const;
    // The line without its leading "\r\n".
    std::string Text() const;

  private:
    std::string line_;
    bool done_ = false;
};

}  // namespace orvana
