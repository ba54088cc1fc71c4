#include "apps/orvanasim/command_line.h"

#include "apps/orvanasim/receiver_text.h"

namespace orvana::sim {

std::optional<std::string> LineAssembler::Add(char byte) {
    if (byte == '\r' || byte == '\n') {
        if (overflow_) {
            overflow_ = false;
            line_.clear();
            ++dropped_;
            return std::nullopt;
        }
        std::string done;
        done.swap(line_);
        return done;
    }
    if (overflow_) return std::nullopt;
    if (line_.size() >= max_line_) {
        overflow_ = true;
        line_.clear();
        return std::nullopt;
    }
    line_.push_back(byte);
    return std::nullopt;
}

void LineAssembler::Clear() {
    line_.clear();
    overflow_ = false;
}

Command SplitTag(std::string_view text) {
    Command c;
    if (!text.empty() && text[0] == '%') {
        size_t end = text.find('%', 1);
        if (end != std::string_view::npos) {
            c.tag = std::string(text.substr(0, end + 1));
            c.body = std::string(text.substr(end + 1));
            return c;
        }
    }
    c.body = std::string(text);
    return c;
}

namespace {

// The checksum field's value, or -1 when the two characters are not one.
int ChecksumField(char a, char b) {
    int lo = HexDigit(b);
    if (lo < 0) return -1;
    if (a == ' ') return lo;
    int hi = HexDigit(a);
    return hi < 0 ? -1 : hi * 16 + lo;
}

}  // namespace

ParsedLine ParseLine(std::string_view line) {
    ParsedLine parsed;
    if (line.size() >= 3 && line[line.size() - 3] == '@') {
        int field = ChecksumField(line[line.size() - 2], line[line.size() - 1]);
        if (field >= 0) {
            parsed.checksum_present = true;
            std::string_view covered = line.substr(0, line.size() - 2);
            parsed.checksum_ok = ReceiverChecksum(covered) == field;
            line = line.substr(0, line.size() - 3);
        }
    }
    parsed.tag = SplitTag(line).tag;
    if (!parsed.checksum_ok) return parsed;
    size_t at = 0;
    while (at <= line.size()) {
        size_t sep = line.size();
        for (size_t i = at; i + 1 < line.size(); ++i) {
            if ((line[i] == '|' && line[i + 1] == '|') || (line[i] == '&' && line[i + 1] == '&')) {
                sep = i;
                break;
            }
        }
        Command c = SplitTag(line.substr(at, sep - at));
        if (!c.tag.empty() || !c.body.empty()) parsed.commands.push_back(std::move(c));
        if (sep >= line.size()) break;
        at = sep + 2;
    }
    return parsed;
}

}  // namespace orvana::sim
