#pragma once
// A receiver that sends bad checksums or output nobody asked for would write a log line per
// container, megabytes a minute. Lines of one kind are written once, then only counted: the
// count goes to the log with the first line of that kind after a minute, or when the receiver
// is closed.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace orvana {

class RepeatedLines {
  public:
    static constexpr uint32_t kWindowMs = 60000;

    // Whether a line of `kind` is to be written at tick `now`. When it is and lines of that
    // kind were held back before it, `summary` gets the line that says how many.
    bool Admit(const std::string& kind, uint32_t now, std::string* summary);
    // The summaries of every kind with lines held back; the counts start again.
    std::vector<std::string> Flush();

  private:
    struct Count {
        uint32_t window_start = 0;
        uint32_t held_back = 0;
    };
    static std::string Summary(const std::string& kind, uint32_t held_back);
    std::map<std::string, Count> kinds_;
};

}  // namespace orvana
