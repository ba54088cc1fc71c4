#include "transfer/block_frame.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace orvana {
namespace {

std::array<uint16_t, 256> MakeCrcTable() {
    std::array<uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t c = static_cast<uint16_t>(i << 8);
        for (int k = 0; k < 8; ++k)
            c = static_cast<uint16_t>((c & 0x8000) ? (c << 1) ^ 0x1021 : c << 1);
        t[i] = c;
    }
    return t;
}

}  // namespace

uint16_t Crc16(uint16_t crc, const void* data, size_t n) {
    static const std::array<uint16_t, 256> table = MakeCrcTable();
    const auto* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < n; ++i)
        crc = static_cast<uint16_t>((crc << 8) ^ table[((crc >> 8) ^ p[i]) & 0xFF]);
    return crc;
}

uint16_t ReadLe16(const uint8_t* at) {
    return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

void WriteLe16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value & 0xFF);
    at[1] = static_cast<uint8_t>(value >> 8);
}

uint16_t BlockBuffer::Seal(uint8_t tag, uint16_t number, size_t valid, uint16_t running) {
    if (valid < n_) std::memset(data() + valid, 0, n_ - valid);
    frame()[0] = tag;
    WriteLe16(frame() + 1, number);
    const uint16_t crc = ComputeCrc(running);
    WriteLe16(frame() + n_ + 3, crc);
    frame()[n_ + 5] = kFrameEnd;
    return crc;
}

void WriteDataPrefix(uint8_t* at, unsigned block, size_t length) {
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "IN:%04u%04uF", block % 10000u,
                  static_cast<unsigned>(length % 10000u));
    std::memcpy(at, prefix, BlockBuffer::kMessagePrefix);
}

std::string_view BlockBuffer::DataMessage(unsigned block, size_t length) {
    if (length > n_) length = n_;
    uint8_t* start = data() - kMessagePrefix;
    WriteDataPrefix(start, block, length);
    return std::string_view(reinterpret_cast<const char*>(start), kMessagePrefix + length);
}

BlockVerdict JudgeBlock(const BlockBuffer& frame, uint16_t expected_block) {
    if (frame.tag() == kLastTag)
        return frame.number() <= frame.block_size() ? BlockVerdict::kLast
                                                    : BlockVerdict::kBadNumber;
    if (frame.tag() == kDataTag)
        return frame.number() == expected_block ? BlockVerdict::kData : BlockVerdict::kBadNumber;
    return BlockVerdict::kBadTag;
}

}  // namespace orvana
