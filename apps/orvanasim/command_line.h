#pragma once
// Incoming command lines: bytes are gathered into lines ended by CR and/or LF, a line's
// optional "@xx" checksum suffix is checked, and the line is cut into its commands ("||" and
// "&&" join several on one line), each with its optional "%tag%" prefix.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvana::sim {

// Gathers lines from arbitrary bytes. A line longer than the limit is dropped whole (and counted)
// rather than cut, so a runaway stream never turns into a command.
class LineAssembler {
  public:
    explicit LineAssembler(size_t max_line = 4096) : max_line_(max_line) {}
    // Adds one byte; returns the completed line when `byte` ends one (empty lines included).
    std::optional<std::string> Add(char byte);
    bool Pending() const { return !line_.empty() || overflow_; }
    void Clear();
    size_t DroppedLines() const { return dropped_; }

  private:
    size_t max_line_;
    std::string line_;
    bool overflow_ = false;
    size_t dropped_ = 0;
};

struct Command {
    std::string tag;   // with both percent signs ("%Loop%"), empty when untagged
    std::string body;  // the rest ("print,/par/rcvid")
};

struct ParsedLine {
    bool checksum_present = false;
    bool checksum_ok = true;
    std::string tag;  // the first command's tag, for an error reply to the whole line
    std::vector<Command> commands;
};

// Splits a tag off the front of `text`: "%id%rest" gives "%id%" and "rest". No tag when the text
// does not start with "%" or has no second "%".
Command SplitTag(std::string_view text);

// Checks and strips a trailing "@" + two characters ("%2x": lower-case hex, a blank before a
// single digit; upper case is accepted too), then cuts the line into commands.
ParsedLine ParseLine(std::string_view line);

}  // namespace orvana::sim
