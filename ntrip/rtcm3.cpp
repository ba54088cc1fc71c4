#include "ntrip/rtcm3.h"

namespace orvana::rtcm3 {

uint32_t Crc24q(const uint8_t* data, size_t length) {
    constexpr uint32_t kPoly = 0x1864CFB;
    uint32_t crc = 0;
    for (size_t i = 0; i < length; ++i) {
        crc ^= static_cast<uint32_t>(data[i]) << 16;
        for (int bit = 0; bit < 8; ++bit) {
            crc <<= 1;
            if (crc & 0x1000000) crc ^= kPoly;
        }
    }
    return crc & 0xFFFFFF;
}

std::string Frame(std::string_view message) {
    if (message.size() > kMaxMessageBytes) message = message.substr(0, kMaxMessageBytes);
    std::string f;
    f.reserve(message.size() + kHeaderBytes + kCrcBytes);
    f.push_back(static_cast<char>(kPreamble));
    f.push_back(static_cast<char>(message.size() >> 8));
    f.push_back(static_cast<char>(message.size() & 0xFF));
    f.append(message);
    const uint32_t crc = Crc24q(reinterpret_cast<const uint8_t*>(f.data()), f.size());
    for (int shift = 16; shift >= 0; shift -= 8)
        f.push_back(static_cast<char>((crc >> shift) & 0xFF));
    return f;
}

void BitWriter::Put(uint64_t value, unsigned bits) {
    for (unsigned i = bits; i-- > 0;) {
        if (used_ == 0) bytes_.push_back('\0');
        if ((value >> i) & 1u)
            bytes_.back() =
                static_cast<char>(static_cast<uint8_t>(bytes_.back()) | (0x80u >> used_));
        used_ = (used_ + 1) % 8;
    }
}

void BitWriter::PutSigned(int64_t value, unsigned bits) {
    // Two's complement in `bits` bits.
    Put(static_cast<uint64_t>(value) & (bits >= 64 ? ~0ull : ((1ull << bits) - 1)), bits);
}

std::string BitWriter::Bytes() const {
    return bytes_;
}

void FrameScanner::Append(std::string_view bytes) {
    if (start_ > 0 && start_ * 2 > buffer_.size()) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
    buffer_.append(bytes);
}

bool FrameScanner::Next(Frame* frame) {
    for (;;) {
        const size_t at = buffer_.find(static_cast<char>(kPreamble), start_);
        if (at == std::string::npos) {
            skipped_ += buffer_.size() - start_;
            buffer_.clear();
            start_ = 0;
            return false;
        }
        skipped_ += at - start_;
        start_ = at;
        const size_t available = buffer_.size() - start_;
        if (available < kHeaderBytes) return false;
        const auto* p = reinterpret_cast<const uint8_t*>(buffer_.data() + start_);
        const size_t length = ((p[1] & 0x03u) << 8) | p[2];
        const size_t total = kHeaderBytes + length + kCrcBytes;
        if ((p[1] & 0xFC) != 0) {  // reserved bits set: not a frame start
            ++start_;
            ++skipped_;
            continue;
        }
        if (available < total) return false;
        const uint32_t want = (static_cast<uint32_t>(p[total - 3]) << 16) |
                              (static_cast<uint32_t>(p[total - 2]) << 8) | p[total - 1];
        if (Crc24q(p, total - kCrcBytes) != want) {
            ++bad_;
            ++start_;
            ++skipped_;
            continue;
        }
        frame->bytes.assign(buffer_, start_, total);
        frame->message_number = length >= 2 ? (static_cast<unsigned>(p[3]) << 4) | (p[4] >> 4) : 0;
        start_ += total;
        return true;
    }
}

}  // namespace orvana::rtcm3
