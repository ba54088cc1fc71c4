#pragma once
// The client's side of the request protocol: request frames (plain and enciphered), frames from
// the server cut whole out of a byte stream and checked, and a blocking client that logs in,
// sends requests and waits for their replies while it keeps unsolicited frames (data, pings,
// notices, chat) apart. Used by orvanacli and by the server itself when it is a client of
// another server, so it neither prints nor exits: failures come back as values and texts.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/server_frames.h"

namespace orvana {

class CBlockingSocket;

// Frame types of frames to clients.
namespace frame_type {
inline constexpr uint16_t kReply = 0x000;
inline constexpr uint16_t kFirstData = 0x100;  // (group + 1) * 256 + (message index + 1)
inline constexpr uint16_t kLastData = 0x4FF;
inline constexpr uint16_t kChat = 0x5FE;
inline constexpr uint16_t kPing = 0x600;
inline constexpr uint16_t kReceiverState = 0x700;
inline constexpr uint16_t kDownload = 0x800;
inline constexpr uint16_t kNotice = 0x900;
inline constexpr uint16_t kUpload = 0xB00;
inline constexpr uint16_t kConnectionLost = 0xC00;
inline constexpr uint16_t kDetection = 0xD00;
inline constexpr uint16_t kTerminated = 0xF00;
}  // namespace frame_type

// Longest plain frame that fits an enciphered frame (6 header bytes, 4 check-sum bytes).
inline constexpr size_t kMaxCipherPlain = kMaxEncipheredFrame - 10;

// "%04x%02x%s": text length, handle, text. `binary` follows the text after a zero byte and is
// counted in the length (binary pieces of uploads).
std::string BuildRequestFrame(std::string_view text, uint8_t handle = 0,
                              std::string_view binary = {});

// The enciphered form of a plain frame; empty when the frame is longer than kMaxCipherPlain or
// the key is shorter than 8 bytes.
std::string EncipherRequest(std::string_view plain, std::string_view key);

struct ServerFrame {
    uint16_t type = 0;
    uint8_t handle = 0;
    unsigned code = 0;
    std::string data;  // without the zero byte

    bool IsReply() const { return type == frame_type::kReply; }
    bool IsData() const { return type >= frame_type::kFirstData && type <= frame_type::kLastData; }
    bool Succeeded() const { return data.size() >= 2 && data.compare(0, 2, "RE") == 0; }
};

// Cuts frames out of the bytes received from a server, however the network split them.
class ServerFrameReader {
  public:
    enum class Result { kNeedMore, kFrame, kCorrupt };

    void Append(const char* bytes, size_t count);
    // kFrame fills `frame`. kCorrupt: a bad checksum or zero byte drops that frame; a length
    // field that cannot be a frame drops everything buffered, as the stream has lost its
    // framing. `why` gets the reason.
    Result Next(ServerFrame* frame, std::string* why = nullptr);
    size_t buffered() const { return buffer_.size() - start_; }
    // Frames longer than this are taken for a lost framing (a reader that knows its peer's
    // largest frame sets it; the default is what the length field can say).
    void set_max_frame(size_t bytes) { max_frame_ = bytes; }
    void Clear();

  private:
    std::string buffer_;
    size_t start_ = 0;
    size_t max_frame_ = 0xFFFF;
};

// One connection to a server. One thread reads (the calls below except Close); Close may come
// from any thread and wakes a waiting read.
class RequestClient {
  public:
    static constexpr size_t kMaxQueued = 4096;  // unsolicited frames kept; oldest go first

    RequestClient();
    ~RequestClient();
    RequestClient(const RequestClient&) = delete;
    RequestClient& operator=(const RequestClient&) = delete;

    // Host by name or dotted address. False with error() set.
    bool Connect(const std::string& host, uint16_t port, uint32_t limit_ms);
    void Close();
    bool IsOpen() const;

    // Requests go out enciphered with the server's session key from now on.
    void SetEncipher(bool on);
    void SetCipherKey(std::string key) { key_ = std::move(key); }

    // "OpenUsr NAME PASSWORD TASK". The reply, or nullopt on a failed connection or time-out.
    // The login holds when LoginAccepted says so; the code is the session's handle count.
    std::optional<ServerFrame> Login(std::string_view user, std::string_view password,
                                     std::string_view task, uint32_t timeout_ms);
    static bool LoginAccepted(const ServerFrame& reply) { return reply.Succeeded() && reply.code; }
    unsigned handle_count() const { return handle_count_; }

    // Sends a request and waits for its reply.
    std::optional<ServerFrame> Call(std::string_view text, uint8_t handle, uint32_t timeout_ms,
                                    std::string_view binary = {});
    bool Send(std::string_view text, uint8_t handle = 0, std::string_view binary = {});
    // Sends bytes as they are (malformed frames in tests). They count as one request.
    bool SendRaw(std::string_view bytes);
    // The reply to the oldest request still unanswered. A reply that comes after its wait timed
    // out is recognised by the count of requests sent and dropped, so replies never shift
    // onto later requests.
    std::optional<ServerFrame> WaitReply(uint32_t timeout_ms);

    // The next frame that is no reply to a request: queued ones first, else waits for one.
    std::optional<ServerFrame> NextUnsolicited(uint32_t timeout_ms);
    size_t queued() const { return unsolicited_.size(); }
    size_t dropped() const { return dropped_; }  // unsolicited frames lost to a full queue

    // Why the last call failed: the socket error, time-out, closed connection or bad frame.
    const std::string& error() const { return error_; }

  private:
    // Reads once (up to `wait_ms`) and sorts the frames received. False when the connection
    // ended or the stream was corrupt.
    bool Pump(uint32_t wait_ms);
    void Sort(ServerFrame frame);
    bool Fail(std::string why);

    std::unique_ptr<CBlockingSocket> socket_;
    ServerFrameReader reader_;
    std::deque<ServerFrame> replies_;
    std::deque<ServerFrame> unsolicited_;
    size_t owed_ = 0;       // requests sent whose replies have not arrived
    size_t abandoned_ = 0;  // of those, the ones whose wait gave up: dropped on arrival
    size_t dropped_ = 0;
    bool encipher_ = false;
    std::string key_;
    unsigned handle_count_ = 0;
    std::string error_;
};

}  // namespace orvana
