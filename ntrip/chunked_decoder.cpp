#include "ntrip/chunked_decoder.h"

namespace orvana::ntrip {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The size at the start of a size line (extensions after ";" are ignored); false when none.
bool ChunkSize(const std::string& line, size_t* size) {
    size_t value = 0, digits = 0;
    for (char c : line) {
        const int v = HexValue(c);
        if (v < 0) break;
        value = value * 16 + static_cast<size_t>(v);
        if (++digits > 8) return false;
    }
    if (digits == 0) return false;
    *size = value;
    return true;
}

}  // namespace

bool ChunkedDecoder::Feed(std::string_view bytes, std::string* out) {
    size_t at = 0;
    while (at < bytes.size()) {
        switch (state_) {
            case State::kBroken:
                return false;
            case State::kEnded:
                return true;  // whatever follows the last chunk is not data
            case State::kSize:
            case State::kDataEnd:
            case State::kTrailer: {
                const char c = bytes[at++];
                if (c != '\n') {
                    if (c != '\r') line_.push_back(c);
                    if (line_.size() > kMaxSizeLine) state_ = State::kBroken;
                    continue;
                }
                std::string line;
                line.swap(line_);
                if (state_ == State::kDataEnd) {
                    state_ = line.empty() ? State::kSize : State::kBroken;
                } else if (state_ == State::kTrailer) {
                    if (line.empty()) state_ = State::kEnded;
                } else if (!ChunkSize(line, &left_) || left_ > kMaxChunk) {
                    state_ = State::kBroken;
                } else {
                    state_ = left_ == 0 ? State::kTrailer : State::kData;
                }
                continue;
            }
            case State::kData: {
                const size_t take = std::min(left_, bytes.size() - at);
                out->append(bytes.substr(at, take));
                at += take;
                left_ -= take;
                if (left_ == 0) state_ = State::kDataEnd;
                continue;
            }
        }
    }
    return state_ != State::kBroken;
}

}  // namespace orvana::ntrip
