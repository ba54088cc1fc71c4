#pragma once
// Fuzz inputs that are a sequence of lines: takes them off the front one at a time.

#include <string_view>

namespace orvana::fuzz {

// The line at the front of `rest` without its '\n', which is taken off with it.
inline std::string_view NextLine(std::string_view* rest) {
    const size_t end = rest->find('\n');
    const std::string_view line = rest->substr(0, end);
    rest->remove_prefix(end == std::string_view::npos ? rest->size() : end + 1);
    return line;
}

}  // namespace orvana::fuzz
