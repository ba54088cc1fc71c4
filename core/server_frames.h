#pragma once
// The server's side of the frame formats: reading request headers, deciphering "NLG" frames, and
// building frames to clients. Every read is bounded by the bytes actually received.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace orvana {

// Hex digits (either case); a field holding any other character is 0.
unsigned ParseHexField(const char* text, size_t digits);

// Total length T of an enciphered frame (16-bit little-endian at offset 0).
size_t EncipheredLength(const char* frame);

// Deciphers the enciphered frame at the start of `buffer` (`received` bytes there, at least its
// total length) in place. Returns the plain frame's length, or 0 when the frame is malformed or
// its check sum does not match.
size_t DecipherRequest(char* buffer, size_t received, std::string_view key);

// The check sum of enciphered frames: 32-bit words with an end-around carry of the top bits.
uint32_t CipherCheckSum(const unsigned char* data, size_t length);

// Largest enciphered frame, header included.
inline constexpr size_t kMaxEncipheredFrame = 4096;

// Runs one block of n <= 8 bytes through the key's bit permutation: deciphers, or with
// `encipher` does the exact inverse.
void PermuteCipherBlock(const unsigned char* in, unsigned char* out, size_t n, std::string_view key,
                        bool encipher);

// The checksum of a frame to a client: plain 32-bit little-endian word sum over the `length`
// bytes from the frame's start through its zero byte.
uint32_t ServerFrameCheckSum(const unsigned char* data, size_t length);

// Size of the frame for `length` data bytes.
inline constexpr size_t FrameSize(size_t length) {
    return length + 16;
}
// Writes the frame (header, data, zero byte, checksum) at `out`, which holds FrameSize bytes.
void BuildServerFrame(char* out, uint16_t type, uint8_t handle, unsigned code, const void* data,
                      size_t length);
// Gives a frame that BuildServerFrame made for `length` data bytes another handle, correcting
// its checksum rather than summing the frame again (one frame goes to many clients).
void ReaddressServerFrame(char* frame, size_t length, uint8_t handle);

}  // namespace orvana
