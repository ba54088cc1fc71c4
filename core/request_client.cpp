#include "core/request_client.h"

#include <cstdio>
#include <cstring>

#include "core/blocking_socket.h"
#include "core/client_session.h"
#include "platform/clock.h"

namespace orvana {
namespace {

constexpr size_t kFrameOverhead = 16;  // 11 header characters, zero byte, 4 checksum bytes

uint32_t LittleEndian32(const unsigned char* b) {
    return uint32_t{b[0]} | (uint32_t{b[1]} << 8) | (uint32_t{b[2]} << 16) | (uint32_t{b[3]} << 24);
}

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

std::string BuildRequestFrame(std::string_view text, uint8_t handle, std::string_view binary) {
    // A frame with binary data counts its 6 header characters in its length.
    const size_t length = binary.empty() ? text.size() : 6 + text.size() + 1 + binary.size();
    char header[16];
    std::snprintf(header, sizeof header, "%04x%02x", static_cast<unsigned>(length & 0xFFFF),
                  static_cast<unsigned>(handle));
    std::string frame(header);
    frame.append(text);
    if (!binary.empty()) {
        frame.push_back('\0');
        frame.append(binary);
    }
    return frame;
}

std::string EncipherRequest(std::string_view plain, std::string_view key) {
    if (plain.size() > kMaxCipherPlain || key.size() < 8) return {};
    std::string body(plain);
    const uint32_t sum =
        CipherCheckSum(reinterpret_cast<const unsigned char*>(plain.data()), plain.size());
    for (int k = 0; k < 4; ++k) body.push_back(static_cast<char>((sum >> (8 * k)) & 0xFF));
    const size_t total = body.size() + 6;
    std::string frame(total, '\0');
    frame[0] = static_cast<char>(total & 0xFF);
    frame[1] = static_cast<char>(total >> 8);
    frame[2] = 6;
    std::memcpy(frame.data() + 3, "NLG", 3);
    const auto* in = reinterpret_cast<const unsigned char*>(body.data());
    auto* out = reinterpret_cast<unsigned char*>(frame.data() + 6);
    for (size_t at = 0; at < body.size(); at += 8) {
        const size_t n = body.size() - at < 8 ? body.size() - at : 8;
        PermuteCipherBlock(in + at, out + at, n, key, true);
    }
    return frame;
}

// ---- ServerFrameReader -----------------------------------------------------------------------

void ServerFrameReader::Append(const char* bytes, size_t count) {
    // Consumed bytes are given back once they outweigh what is still waiting.
    if (start_ > 0 && start_ >= buffer_.size() - start_) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
    buffer_.append(bytes, count);
}

void ServerFrameReader::Clear() {
    buffer_.clear();
    start_ = 0;
}

ServerFrameReader::Result ServerFrameReader::Next(ServerFrame* frame, std::string* why) {
    const size_t have = buffered();
    if (have < 4) return Result::kNeedMore;
    const char* at = buffer_.data() + start_;
    bool hex = true;
    for (size_t i = 0; i < 4; ++i) hex = hex && IsHexDigit(at[i]);
    const size_t total = hex ? ParseHexField(at, 4) : 0;
    if (total < kFrameOverhead || total > max_frame_) {
        if (why) *why = "bad frame length field";
        Clear();
        return Result::kCorrupt;
    }
    if (have < total) return Result::kNeedMore;
    const auto* b = reinterpret_cast<const unsigned char*>(at);
    const size_t data_length = total - kFrameOverhead;
    const bool zero_ok = b[11 + data_length] == 0;
    const bool sum_ok = ServerFrameCheckSum(b, total - 4) == LittleEndian32(b + total - 4);
    if (!zero_ok || !sum_ok) {
        if (why) *why = zero_ok ? "frame checksum mismatch" : "frame without its zero byte";
        start_ += total;
        return Result::kCorrupt;
    }
    frame->type = static_cast<uint16_t>(ParseHexField(at + 4, 3));
    frame->handle = static_cast<uint8_t>(ParseHexField(at + 7, 2));
    frame->code = ParseHexField(at + 9, 2);
    frame->data.assign(at + 11, data_length);
    start_ += total;
    return Result::kFrame;
}

// ---- RequestClient ---------------------------------------------------------------------------

RequestClient::RequestClient() : key_(ClientSession::kSessionKey) {}

RequestClient::~RequestClient() = default;

bool RequestClient::Connect(const std::string& host, uint16_t port, uint32_t limit_ms) {
    socket_.reset();
    reader_.Clear();
    replies_.clear();
    unsolicited_.clear();
    owed_ = abandoned_ = dropped_ = 0;
    handle_count_ = 0;
    try {
        auto socket = std::make_unique<CBlockingSocket>();
        socket->Create(1);
        platform::Ipv4Endpoint at = CBlockingSocket::GetHostByName(host, port);
        socket->Connect(at, limit_ms);
        socket_ = std::move(socket);
        return true;
    } catch (const CBlockingSocketException& e) {
        // The number as the server's log has it, and what it means here.
        char text[64];
        std::snprintf(text, sizeof text, " failed (error %d", e.error());
        const std::string meaning = platform::SocketErrorText(e.error());
        error_ = e.operation() + text + (meaning.empty() ? "" : ": " + meaning) + ")";
        return false;
    }
}

void RequestClient::Close() {
    if (socket_) socket_->Cleanup();
}

bool RequestClient::IsOpen() const {
    return socket_ && socket_->IsOpen();
}

void RequestClient::SetEncipher(bool on) {
    encipher_ = on;
}

bool RequestClient::Fail(std::string why) {
    error_ = std::move(why);
    return false;
}

bool RequestClient::SendRaw(std::string_view bytes) {
    if (!IsOpen()) return Fail("not connected");
    if (socket_->Send(bytes.data(), static_cast<int>(bytes.size())) !=
        static_cast<int>(bytes.size()))
        return Fail("send failed");
    ++owed_;
    return true;
}

bool RequestClient::Send(std::string_view text, uint8_t handle, std::string_view binary) {
    // A longer one would go out with a wrapped length and desynchronise the session.
    if ((binary.empty() ? text.size() : 7 + text.size() + binary.size()) > 0xFFFF)
        return Fail("request too long for a frame");
    std::string frame = BuildRequestFrame(text, handle, binary);
    if (encipher_) {
        frame = EncipherRequest(frame, key_);
        if (frame.empty()) return Fail("request too long to encipher");
    }
    return SendRaw(frame);
}

void RequestClient::Sort(ServerFrame frame) {
    if (frame.IsReply() && owed_ > 0) {
        --owed_;
        if (abandoned_ > 0) {
            --abandoned_;
            return;
        }
        replies_.push_back(std::move(frame));
        return;
    }
    if (unsolicited_.size() >= kMaxQueued) {
        unsolicited_.pop_front();
        ++dropped_;
    }
    unsolicited_.push_back(std::move(frame));
}

bool RequestClient::Pump(uint32_t wait_ms) {
    if (!IsOpen()) return Fail("connection closed");
    char buf[8192];
    const int n = socket_->ReceivePeek(buf, sizeof buf, false, wait_ms);
    if (n == -2) return true;
    if (n <= 0) {
        socket_->Cleanup();
        return Fail(n == 0 ? "connection closed by the server" : "receive failed");
    }
    reader_.Append(buf, static_cast<size_t>(n));
    for (;;) {
        ServerFrame frame;
        std::string why;
        auto result = reader_.Next(&frame, &why);
        if (result == ServerFrameReader::Result::kNeedMore) return true;
        if (result == ServerFrameReader::Result::kCorrupt) {
            // Nothing after a corrupted frame can be trusted to line up with the requests.
            socket_->Cleanup();
            return Fail(why);
        }
        Sort(std::move(frame));
    }
}

std::optional<ServerFrame> RequestClient::WaitReply(uint32_t timeout_ms) {
    const uint32_t start = platform::TickCount();
    for (;;) {
        if (!replies_.empty()) {
            ServerFrame f = std::move(replies_.front());
            replies_.pop_front();
            return f;
        }
        if (owed_ == abandoned_) {
            Fail("no request waits for a reply");
            return std::nullopt;
        }
        const uint32_t spent = platform::TickCount() - start;
        if (spent >= timeout_ms) {
            ++abandoned_;
            Fail("no reply within the time");
            return std::nullopt;
        }
        if (!Pump(timeout_ms - spent)) return std::nullopt;
    }
}

std::optional<ServerFrame> RequestClient::Call(std::string_view text, uint8_t handle,
                                               uint32_t timeout_ms, std::string_view binary) {
    if (!Send(text, handle, binary)) return std::nullopt;
    return WaitReply(timeout_ms);
}

std::optional<ServerFrame> RequestClient::Login(std::string_view user, std::string_view password,
                                                std::string_view task, uint32_t timeout_ms) {
    std::string text = "OpenUsr ";
    text.append(user);
    text.push_back(' ');
    text.append(password);
    if (!task.empty()) {
        text.push_back(' ');
        text.append(task);
    }
    auto reply = Call(text, 0, timeout_ms);
    if (reply && LoginAccepted(*reply)) handle_count_ = reply->code;
    return reply;
}

std::optional<ServerFrame> RequestClient::NextUnsolicited(uint32_t timeout_ms) {
    const uint32_t start = platform::TickCount();
    for (;;) {
        if (!unsolicited_.empty()) {
            ServerFrame f = std::move(unsolicited_.front());
            unsolicited_.pop_front();
            return f;
        }
        const uint32_t spent = platform::TickCount() - start;
        if (spent >= timeout_ms) {
            Fail("no frame within the time");
            return std::nullopt;
        }
        if (!Pump(timeout_ms - spent)) return std::nullopt;
    }
}

}  // namespace orvana
