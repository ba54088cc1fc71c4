#pragma once
// HTTP/1.1 chunked transfer coding, decoded as the bytes come however the network split them:
// an NTRIP 2.0 source's stream. Bounded: a size line longer than kMaxSizeLine or a chunk
// larger than kMaxChunk breaks the coding.

#include <cstddef>
#include <string>
#include <string_view>

namespace orvana::ntrip {

class ChunkedDecoder {
  public:
    static constexpr size_t kMaxSizeLine = 64;
    static constexpr size_t kMaxChunk = 1 << 20;

    // Appends the data in `bytes` to `out`. False once the coding is broken, for good.
    bool Feed(std::string_view bytes, std::string* out);
    // The closing zero-size chunk has come.
    bool ended() const { return state_ == State::kEnded; }

  private:
    enum class State { kSize, kData, kDataEnd, kTrailer, kEnded, kBroken };
    State state_ = State::kSize;
    std::string line_;
    size_t left_ = 0;
};

}  // namespace orvana::ntrip
