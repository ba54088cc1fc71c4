#include "links/modem_reply.h"

namespace orvana {

void ModemReplyLine::Clear() {
    line_.clear();
    done_ = false;
}

bool ModemReplyLine::Append(const char* bytes, size_t n) {
    if (done_) return false;
    const size_t room = kSize - line_.size();
    line_.append(bytes, n < room ? n : room);
    const size_t cr = line_.size() > 2 ? line_.find('\r', 2) : std::string::npos;
    if (cr == std::string::npos) return false;
    line_.resize(cr);
    done_ = true;
    return true;
}

bool ModemReplyLine::StartsWith(std::string_view prefix) const {
    return std::string_view(line_).substr(0, prefix.size()) == prefix;
}

std::string ModemReplyLine::Text() const {
    return line_.size() > 2 ? line_.substr(2) : std::string();
}

}  // namespace orvana
