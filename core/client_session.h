#pragma once
// One connected client: its socket, the request being received, the queue of frames waiting to
// be sent to it, its login and its handle table. Every request handler receives it.
//
// Sessions live in the client table (client_table.h) as shared pointers: a sender that took a
// reference under the table lock may finish its send after the slot was released.

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/blocking_socket.h"
#include "core/send_queue.h"

namespace orvana {

struct Attachment;    // the binding of a handle to an open receiver (receivers/)
struct LoadFileSlot;  // a file being copied to the server (transfer/)

class ClientSession : public CBlockingSocket {
  public:
    static constexpr size_t kReceiveBufferSize = 4096;
    static constexpr const char* kSessionKey = "ZelmarQX";

    explicit ClientSession(uint16_t slot) : slot_index(slot) { receive_buffer.fill(0); }

    // Queues frames for the client writer; false when they will not reach the client. A queue
    // that would pass its bound cuts the client off here.
    bool QueueFrames(std::vector<uint8_t> bytes);
    bool QueueFrames(SharedBytes bytes);
    // Cuts the client off for `error` (a socket error as the log reports them): its queue is
    // dropped, it is marked lost and its connection broken. Only the first cut counts.
    void CutOff(int error);

    // Owned by the session thread (the request being received). One extra byte for the zero
    // that ends a request.
    std::array<char, kReceiveBufferSize + 1> receive_buffer{};
    size_t received = 0;  // R: bytes since the last handled frame
    // Bytes still to come of a refused frame that was too long to receive; dropped on arrival
    // so they are not taken for the next request.
    size_t discard = 0;

    // The client's most recent request as the console shows it: passwords blanked, at most
    // kShownRequest characters. Written by the session thread, read by the console.
    static constexpr size_t kShownRequest = 256;
    void NoteRequest(std::string_view text);
    std::string last_request() const;

    // Every frame to the client waits here for the client writer.
    SendQueue outgoing;
    // A client inside the server that takes its frames itself instead of through a socket (an
    // NTRIP mountpoint): called on the producer's thread, so it must not wait. Set before the
    // session opens a receiver and never changed after.
    std::function<bool(const SharedBytes&)> frame_sink;

    std::thread::id thread_id = std::this_thread::get_id();
    std::atomic<bool> lost{false};
    std::atomic<bool> ping_failed{false};
    // Set by a successful OpenUsr, cleared when the next OpenUsr starts: a refused login leaves
    // the session without rights, whatever it had before. Session thread only.
    bool logged_in = false;
    bool super_user = false;
    bool remote = true;     // false for the built-in clients (slot 0)
    bool internal = false;  // a client inside the server (no socket): scripts, the poll
    uint8_t handle_count = 0;

    std::string address;  // "a.b.c.d:port " with the trailing blank
    uint32_t peer_address = 0;
    uint32_t connected_tick = 0;  // when the connection was accepted
    std::string access_list;      // names, each followed by ','
    std::string reply;            // reply text of the request being handled
    std::string task;
    // Empty before login, "~!" while one is checked. Written and read by other sessions only
    // under the client table lock.
    std::string user_name;

    uint16_t frame_length = 0;  // length field of the last request frame
    size_t request_size = 0;    // bytes of the last request frame as received
    const uint16_t slot_index;
    int32_t send_total = 0;
    int32_t error_total = 0;
    uint32_t session_number = 0;

    // Index = handle; handle count + 4 entries, entry 0 unused. Created at login; replaced
    // under the client table lock (first time) or the receiver table lock (growth).
    std::vector<std::shared_ptr<Attachment>> handle_table;
    bool has_handle_table = false;
    // LoadFile's two file slots (1 and 2 towards the client). Session thread only.
    std::array<std::shared_ptr<LoadFileSlot>, 2> load_files;

  private:
    mutable std::mutex request_mu_;
    std::string last_request_;  // GUARDED_BY(request_mu_)
};

}  // namespace orvana
