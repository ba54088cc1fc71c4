#include "core/server_frames.h"

#include <bit>
#include <cstring>

namespace orvana {
namespace {

constexpr size_t kMaxEnciphered = kMaxEncipheredFrame;
constexpr size_t kHeaderBytes = 6;

uint8_t MaskByte(uint8_t b) {
    return static_cast<uint8_t>(((b << 4) | (b >> 4)) ^ b);
}

bool Bit(const unsigned char* bytes, size_t j) {
    return (bytes[j / 8] >> (7 - j % 8)) & 1;
}

void SetBit(unsigned char* bytes, size_t j, bool v) {
    unsigned char m = static_cast<unsigned char>(1u << (7 - j % 8));
    bytes[j / 8] = static_cast<unsigned char>(v ? (bytes[j / 8] | m) : (bytes[j / 8] & ~m));
}

}  // namespace

// Bits on the mask's 1 bits come first in the enciphered block, the others after them.
void PermuteCipherBlock(const unsigned char* in, unsigned char* out, size_t n, std::string_view key,
                        bool encipher) {
    unsigned char mask[8];
    size_t ones = 0;
    for (size_t i = 0; i < n; ++i) {
        mask[i] = MaskByte(static_cast<uint8_t>(key[i]));
        ones += static_cast<size_t>(std::popcount(mask[i]));
    }
    size_t q = 0, p = ones;
    std::memset(out, 0, n);
    for (size_t j = 0; j < 8 * n; ++j) {
        const size_t at = Bit(mask, j) ? q++ : p++;
        if (encipher)
            SetBit(out, at, Bit(in, j));
        else
            SetBit(out, j, Bit(in, at));
    }
}

unsigned ParseHexField(const char* text, size_t digits) {
    unsigned v = 0;
    for (size_t i = 0; i < digits; ++i) {
        char c = text[i];
        unsigned d;
        if (c >= '0' && c <= '9')
            d = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f')
            d = static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            d = static_cast<unsigned>(c - 'A' + 10);
        else
            return 0;
        v = v * 16 + d;
    }
    return v;
}

size_t EncipheredLength(const char* frame) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(frame);
    return static_cast<size_t>(b[0]) | (static_cast<size_t>(b[1]) << 8);
}

uint32_t CipherCheckSum(const unsigned char* data, size_t length) {
    uint32_t s = 0;
    for (size_t i = 0; i < length; i += 4) {
        uint32_t w = 0;
        for (size_t k = 0; k < 4 && i + k < length; ++k) w |= uint32_t{data[i + k]} << (8 * k);
        uint32_t carry = ((w >> 31) == (s >> 31)) ? 1u : 0u;
        s = s + w + carry;
    }
    return s;
}

uint32_t ServerFrameCheckSum(const unsigned char* data, size_t length) {
    uint32_t sum = 0;
    size_t i = 0;
    // Every data frame to every client is summed: whole words at once where the host's byte
    // order is the frame's.
    if constexpr (std::endian::native == std::endian::little) {
        for (; i + 4 <= length; i += 4) {
            uint32_t w;
            std::memcpy(&w, data + i, 4);
            sum += w;
        }
    }
    for (; i < length; i += 4) {
        uint32_t w = 0;
        for (size_t k = 0; k < 4 && i + k < length; ++k) w |= uint32_t{data[i + k]} << (8 * k);
        sum += w;
    }
    return sum;
}

size_t DecipherRequest(char* buffer, size_t received, std::string_view key) {
    const size_t total = EncipheredLength(buffer);
    const size_t header = static_cast<unsigned char>(buffer[2]);
    // A header longer than the frame, or a frame too short for a check sum, would make the body
    // length wrap: such frames are refused before any byte beyond them is touched.
    if (total > kMaxEnciphered || total > received || total < kHeaderBytes || header > total)
        return 0;
    const size_t body = total - header;
    if (body < 4 || key.size() < 8) return 0;
    unsigned char copy[kMaxEnciphered];
    std::memcpy(copy, buffer, total);
    std::memset(buffer, 0, total);
    unsigned char* out = reinterpret_cast<unsigned char*>(buffer);
    for (size_t at = 0; at < body; at += 8) {
        size_t n = body - at < 8 ? body - at : 8;
        PermuteCipherBlock(copy + header + at, out + at, n, key, false);
    }
    const size_t plain = body - 4;
    uint32_t stored = uint32_t{out[plain]} | (uint32_t{out[plain + 1]} << 8) |
                      (uint32_t{out[plain + 2]} << 16) | (uint32_t{out[plain + 3]} << 24);
    if (CipherCheckSum(out, plain) != stored) return 0;
    std::memset(out + plain, 0, 4);
    return plain;
}

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr size_t kHandleAt = 7;  // two hex digits

}  // namespace

void BuildServerFrame(char* out, uint16_t type, uint8_t handle, unsigned code, const void* data,
                      size_t length) {
    // "%04x%03x%02x%02x" by hand: this runs for every data frame.
    auto put_hex = [&out](size_t at, unsigned value, int digits) {
        for (int i = digits - 1; i >= 0; --i, value >>= 4) out[at + i] = kHexDigits[value & 0xF];
    };
    put_hex(0, static_cast<unsigned>(FrameSize(length) & 0xFFFF), 4);
    put_hex(4, type & 0xFFFu, 3);
    put_hex(kHandleAt, handle, 2);
    put_hex(9, code & 0xFF, 2);
    if (length > 0) std::memcpy(out + 11, data, length);
    out[11 + length] = 0;
    const uint32_t sum =
        ServerFrameCheckSum(reinterpret_cast<const unsigned char*>(out), 12 + length);
    for (int k = 0; k < 4; ++k) out[12 + length + k] = static_cast<char>((sum >> (8 * k)) & 0xFF);
}

void ReaddressServerFrame(char* frame, size_t length, uint8_t handle) {
    const char high = kHexDigits[handle >> 4], low = kHexDigits[handle & 0xF];
    auto* b = reinterpret_cast<unsigned char*>(frame);
    if (b[kHandleAt] == static_cast<unsigned char>(high) &&
        b[kHandleAt + 1] == static_cast<unsigned char>(low))
        return;
    // The sum adds little-endian words from the frame's start: byte 7 is the top byte of the
    // second word, byte 8 the low byte of the third.
    const uint32_t delta =
        ((static_cast<uint32_t>(static_cast<unsigned char>(high)) - b[kHandleAt]) << 24) +
        (static_cast<uint32_t>(static_cast<unsigned char>(low)) - b[kHandleAt + 1]);
    b[kHandleAt] = static_cast<unsigned char>(high);
    b[kHandleAt + 1] = static_cast<unsigned char>(low);
    unsigned char* sum_at = b + 12 + length;
    uint32_t sum = 0;
    for (int k = 0; k < 4; ++k) sum |= static_cast<uint32_t>(sum_at[k]) << (8 * k);
    sum += delta;
    for (int k = 0; k < 4; ++k) sum_at[k] = static_cast<unsigned char>((sum >> (8 * k)) & 0xFF);
}

}  // namespace orvana
