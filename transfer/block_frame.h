#pragma once
// The block protocol between the server and a receiver's "/log/" file system. A frame is always
// n + 6 bytes: tag (2 data, 4 last), 16-bit little-endian number (tag 2: the block number from 0;
// tag 4: the valid bytes), n data bytes (a last block padded with zeros), the 16-bit
// little-endian CRC-16 running over the first n + 3 bytes of every accepted frame, the byte 3.
// The side that receives drives the other with control bytes: 21 (send, or send again) and 6
// (accepted, send the next).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvana {

inline constexpr uint8_t kDataTag = 2;
inline constexpr uint8_t kLastTag = 4;
inline constexpr uint8_t kFrameEnd = 3;
inline constexpr uint8_t kSendBlock = 21;
inline constexpr uint8_t kBlockAccepted = 6;
inline constexpr size_t kFrameOverhead = 6;
// Block sizes a transfer accepts: the "IN:" message carries the data length in four digits.
inline constexpr uint32_t kDefaultBlockSize = 2048;
inline constexpr uint32_t kMaxBlockSize = 9999;

// CRC-16/XMODEM (polynomial 0x1021, MSB first, no reflection, no final XOR), continued from
// `crc`.
uint16_t Crc16(uint16_t crc, const void* data, size_t n);
inline uint16_t Crc16(uint16_t crc, std::string_view bytes) {
    return Crc16(crc, bytes.data(), bytes.size());
}

uint16_t ReadLe16(const uint8_t* at);
void WriteLe16(uint8_t* at, uint16_t value);

// The 12 bytes in front of a data message's data: "IN:", the block number and the data length
// in four digits each (kept to four: the client reads the data from byte 12), and "F".
void WriteDataPrefix(uint8_t* at, unsigned block, size_t length);

// One frame with room in front of it, so that the data message for the client ("IN:" + two
// four-digit numbers + "F", 12 bytes) is built in place over the tag and number fields.
class BlockBuffer {
  public:
    static constexpr size_t kMessagePrefix = 12;

    explicit BlockBuffer(size_t block_size)
        : n_(block_size), bytes_(kMessagePrefix - 3 + block_size + kFrameOverhead, 0) {}
    size_t block_size() const { return n_; }
    size_t frame_size() const { return n_ + kFrameOverhead; }
    uint8_t* frame() { return bytes_.data() + kMessagePrefix - 3; }
    const uint8_t* frame() const { return bytes_.data() + kMessagePrefix - 3; }
    uint8_t* data() { return frame() + 3; }
    uint8_t tag() const { return frame()[0]; }
    uint16_t number() const { return ReadLe16(frame() + 1); }
    uint16_t crc_field() const { return ReadLe16(frame() + n_ + 3); }
    // The CRC of this frame's first n + 3 bytes, continued from `running`.
    uint16_t ComputeCrc(uint16_t running) const { return Crc16(running, frame(), n_ + 3); }

    // Fills the frame for sending: `valid` bytes are already in data(); the rest is zeroed, the
    // tag, number, CRC (continued from `running`, returned) and end byte are set.
    uint16_t Seal(uint8_t tag, uint16_t number, size_t valid, uint16_t running);

    // Writes "IN:%04d%04dF" in front of the data (overwriting tag and number) and returns the
    // message: the prefix and `length` data bytes. The block number is kept to four digits.
    std::string_view DataMessage(unsigned block, size_t length);

  private:
    size_t n_;
    std::vector<uint8_t> bytes_;
};

// What the receiving side makes of a whole frame.
enum class BlockVerdict { kData, kLast, kBadNumber, kBadTag };
// A frame's tag and number against the block expected: a data block with that number, or a
// last block whose valid length fits the block.
BlockVerdict JudgeBlock(const BlockBuffer& frame, uint16_t expected_block);

}  // namespace orvana
