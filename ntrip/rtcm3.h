#pragma once
// RTCM 3 transport frames: preamble 0xD3, six reserved bits and a ten-bit length, the message,
// and a CRC-24Q over everything before it. What the simulator writes and what tests and benches
// check rovers receive.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvana::rtcm3 {

inline constexpr uint8_t kPreamble = 0xD3;
inline constexpr size_t kHeaderBytes = 3;
inline constexpr size_t kCrcBytes = 3;
inline constexpr size_t kMaxMessageBytes = 1023;

uint32_t Crc24q(const uint8_t* data, size_t length);

// A whole frame around `message` (at most kMaxMessageBytes; longer is cut).
std::string Frame(std::string_view message);

// The bits of one message, most significant first, as RTCM fields are laid out.
class BitWriter {
  public:
    void Put(uint64_t value, unsigned bits);
    void PutSigned(int64_t value, unsigned bits);
    // Pads to a whole byte with zero bits.
    std::string Bytes() const;

  private:
    std::string bytes_;
    unsigned used_ = 0;  // bits used of the last byte, 0 when it is full or there is none
};

// Cuts frames from a byte stream however it was split. Bytes before a preamble and frames whose
// CRC does not match are skipped and counted.
class FrameScanner {
  public:
    struct Frame {
        unsigned message_number = 0;  // the first twelve bits of the message, 0 when shorter
        std::string bytes;            // the whole frame
    };
    void Append(std::string_view bytes);
    // False when no whole frame is buffered.
    bool Next(Frame* frame);
    uint64_t skipped_bytes() const { return skipped_; }
    uint64_t bad_frames() const { return bad_; }

  private:
    std::string buffer_;
    size_t start_ = 0;
    uint64_t skipped_ = 0;
    uint64_t bad_ = 0;
};

}  // namespace orvana::rtcm3
