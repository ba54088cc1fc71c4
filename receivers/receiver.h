#pragma once
// An open receiver: the record every link kind derives from. It holds the command engine's
// state (reply buffer, reply event, sender count, assembly buffer), the output setup of the
// clients attached to its stream, and the five operations a link provides.
//
// Owned by its receiver slot (receiver_table.h) from the first successful open to the close
// that takes its user count to 0. The link's reader thread is the only caller of HandleInput.

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/server_metrics.h"
#include "links/link.h"
#include "platform/sync.h"
#include "receivers/output_setup.h"
#include "receivers/repeated_lines.h"

namespace orvana {

class EventLog;
class ConfigStore;
class Receiver;
class ClientSession;

// What a receiver needs from the server around it.
struct ReceiverContext {
    EventLog* log = nullptr;
    const ConfigStore* store = nullptr;  // DevError is written back at destruction
    std::string receivers_path;          // "Receivers\"
    std::string interface_path;          // "Interface\"
    std::string ports_folder;            // COMn links
    std::string receiver_name;           // set before the reader thread starts
    std::string interface_name;
    const MessageTable* messages = nullptr;
    uint32_t modem_dial_ms = 0;  // 0: the dial sequences' own limits
    // A data container whose checksum is right, on the reader thread.
    std::function<void(Receiver&, const uint8_t* container, size_t size)> deliver;
    ReceiverTraffic* traffic = nullptr;  // its table entry's counters
    // On the reader thread after the containers of one read have been delivered.
    std::function<void(Receiver&)> send_delivered;
    // A gate's frames for one of this server's clients (reader thread): a passed-on transfer's
    // messages, or the data of the client's own attachment over there.
    std::function<void(const std::weak_ptr<ClientSession>& client, uint8_t handle, uint16_t type,
                       std::string_view data)>
        send_to_client;
};

class Receiver {
  public:
    // A read takes what the link has, up to 64 KB; the assembly holds one read and the rest of
    // a message it ends (at most 4100 bytes), so it cannot overflow.
    static constexpr size_t kInputSize = 65536;
    static constexpr size_t kAssemblySize = kInputSize + 8192;
    // A network link's receive buffer: two reads.
    static constexpr int kLinkReceiveBuffer = 2 * static_cast<int>(kInputSize);
    static constexpr size_t kMaxRawInput = 1 << 20;  // Append mode's limit

    Receiver(ReceiverContext context, LinkKind kind);
    // Adds the error count to the stored DevError. Derived links stop their reader thread
    // first; REQUIRES: no reader thread runs any more.
    virtual ~Receiver();
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    // Bytes written.
    virtual uint32_t Write(const void* data, uint32_t length) = 0;
    // Drops everything received and not yet consumed.
    virtual void ClearInput();
    virtual bool SetFlowControl(bool on) = 0;
    virtual bool SetSpeed(uint32_t baud) = 0;

    // Gives the receiver up: sets the stop flag and wakes a sender waiting for a reply, which
    // then fails at once rather than at its time-out. True for the caller that set the flag.
    bool RequestStop();

    // Writes a line about the stream (`kind`, then escaped bytes) unless lines of that kind
    // come too often (repeated_lines.h). Reader thread only.
    void LogStreamBytes(const std::string& kind, const void* bytes, size_t count);

    // The reader thread's call after a read that put `n` bytes into input_area.
    void HandleInput(size_t n);
    // The Parse handler: finds replies and containers in the stream (stream_parser.cpp).
    void ParseStream(size_t n);

    const ReceiverContext& context() const { return context_; }
    EventLog& log() const { return *context_.log; }

    // Texts: written while the receiver is built (under the entry's open lock), read after.
    std::string address;
    std::string error_text;
    std::string last_reply;  // GUARDED_BY(command_lock)
    std::string elm_value;
    std::string speed_text;
    std::string interface_name;
    std::string current_terminal;
    std::string receiver_name;

    int32_t user_count = 0;  // changed under the receiver table lock (or atomically at open)
    std::atomic<int32_t> sender_count{0};
    int32_t timeout_count = 0;        // GUARDED_BY(command_lock)
    uint32_t first_timeout_tick = 0;  // GUARDED_BY(command_lock)
    std::atomic<int32_t> reply_state{-1};
    platform::Event reply_event{platform::Event::Reset::Auto};
    platform::Event raw_input_event{platform::Event::Reset::Auto};

    std::atomic<uint8_t> stop{0};
    std::atomic<uint8_t> output_active{0};
    // Set by a sender from before its line goes out until it has its reply or gives up; a
    // reply completed while it is 0 is late and dropped.
    std::atomic<uint8_t> awaiting_reply{0};
    uint8_t rts_cts = 0;
    std::atomic<uint8_t> transfer{0};
    std::atomic<uint8_t> lost{0};
    uint8_t locked = 0;  // GUARDED_BY(receiver table lock)

    OutputSetup output;  // GUARDED_BY(attachment_lock)
    // A gate's current transfer client: the session whose DownloadFile or LoadFirmware went on
    // to the other server, and its handle, where that server's transfer frames are passed.
    std::mutex relay_lock;
    std::weak_ptr<ClientSession> relay_client;  // GUARDED_BY(relay_lock)
    uint8_t relay_handle = 0;                   // GUARDED_BY(relay_lock)
    ReplyBuffer reply;
    platform::RecursiveLock command_lock;
    platform::RecursiveLock attachment_lock;

    // Reader-thread state of the stream parser; ClearInput resets it under reply.lock().
    int32_t assembly_count = 0;
    int32_t brace_balance = 0;
    int32_t merge_count = 0;
    std::atomic<InputMode> input_mode{InputMode::kParse};
    uint64_t read_count = 0;  // reads parsed; the data frames queued belong to one of them
    // The data frames of read `frames_read`, each made once, for handle 1, when a client is
    // first due for its container; and where each begins. Reader thread, under the attachment
    // lock.
    struct ReadFrame {
        uint32_t at;
        uint32_t payload;
    };
    std::vector<uint8_t> read_frames;
    std::vector<ReadFrame> read_frame_list;
    uint64_t frames_read = 0;
    // The sessions of the clients that get frames of the current read: held until they are
    // queued. Reader thread, under the attachment lock.
    std::vector<std::shared_ptr<ClientSession>> read_sessions;
    std::array<uint8_t, kAssemblySize> assembly_area{};
    uint8_t* assembly() { return assembly_area.data(); }
    std::array<uint8_t, kInputSize> input_area{};

    std::atomic<uint32_t> error_count{0};
    const LinkKind kind;

  private:
    RepeatedLines repeated_lines_;  // reader thread, then the destructor
    ReceiverContext context_;
};

}  // namespace orvana
