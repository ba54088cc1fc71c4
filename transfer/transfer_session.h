#pragma once
// A running download or upload: what its thread works with, and the service that starts the
// threads, cancels them and joins them.
//
// A session is shared by its client's attachment (until the session ends) and by the service
// (until its thread has been joined). Its thread is its only user while it runs; other threads
// only set the cancel flag and wake the thread's waits.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/blocking_socket.h"
#include "platform/input_file.h"
#include "platform/sync.h"
#include "transfer/block_frame.h"

namespace orvana {

class Server;
class ClientSession;
class Receiver;
class FtpClient;
struct Attachment;

inline constexpr uint16_t kDownloadFrame = 0x800;
inline constexpr uint16_t kUploadFrame = 0xB00;

struct TransferSession {
    TransferSession(Server& server, const std::shared_ptr<ClientSession>& client,
                    const std::shared_ptr<Attachment>& attachment,
                    std::shared_ptr<Receiver> receiver, std::string request);
    ~TransferSession();
    TransferSession(const TransferSession&) = delete;
    TransferSession& operator=(const TransferSession&) = delete;

    // Sends a frame of this session's type to the client on its handle; false when the client
    // is gone or the send failed.
    bool SendToClient(std::string_view text);
    // Reads BlockSize and Timeout of the Download key (a missing, zero or unusable value is
    // replaced by its default and written back).
    void ReadSettings();
    // The receiver the blocks travel on: the second TCP link when there is one.
    Receiver& link() const;

    Server& server;
    std::weak_ptr<ClientSession> client;
    std::shared_ptr<Attachment> attachment;
    uint8_t handle = 0;
    uint16_t client_slot = 0;
    unsigned receiver_number = 0;
    std::string receiver_name;  // the attachment's

    int32_t retry_count = 0;
    uint32_t timeout_setting = 0;
    int32_t size = 0;
    int32_t total_size = 0;
    std::atomic<bool> cancel{false};
    bool last_block = false;  // an upload's "more data" flag
    std::string request;      // the argument text, then the file name
    uint16_t blocks_done = 0;
    uint32_t start_block = 0;  // a download's: offset / block size
    uint32_t offset = 0;       // a download's first byte
    uint16_t frame_type = kDownloadFrame;
    uint16_t block_size = kDefaultBlockSize;
    std::unique_ptr<BlockBuffer> block;
    uint16_t running_crc = 0;
    std::string result;

    std::shared_ptr<Receiver> primary;  // the receiver as the client opened it
    // Set before the thread starts; let go by the session's end under parts_lock, which a
    // cancel from another thread takes to wake the waits on them.
    std::mutex parts_lock;
    std::unique_ptr<Receiver> second;           // a TCP receiver's second connection, when used
    std::unique_ptr<platform::InputFile> file;  // an upload's local file

    // FTP download: the control dialogue, the data connection and the socket it came in on.
    std::unique_ptr<FtpClient> ftp;
    CBlockingSocket data_socket;
    CBlockingSocket listening_socket;

    platform::Event cancelled{platform::Event::Reset::Manual};  // wakes the thread's pauses
    platform::Event ended{platform::Event::Reset::Manual};      // set when the thread is done
    platform::Thread thread;
};

class TransferService {
  public:
    static constexpr uint32_t kEndWaitMs = 120000;

    explicit TransferService(Server& server) : server_(server) {}
    ~TransferService();  // stops and joins what still runs
    TransferService(const TransferService&) = delete;
    TransferService& operator=(const TransferService&) = delete;

    // Runs `body` on the session's own thread, then ends the session (EndTransfer) and sends the
    // client its result text. False with
    // `error` set when the thread could not start; the session is then not ended.
    bool Launch(const std::shared_ptr<TransferSession>& s,
                std::function<void(TransferSession&)> body, std::string* error);
    // Sets the cancel flag and wakes every wait of the session. Never waits: callers may hold
    // the receiver table lock.
    static void RequestCancel(TransferSession& s);
    // Waits (without table locks) for the session's thread to end, logging when it does not
    // within kEndWaitMs; the session then ends by itself.
    void AwaitEnd(const std::shared_ptr<TransferSession>& s);
    // Cancels every session and joins every thread: the server is stopping.
    void StopAll();
    // The next data port of an FTP download, 49152 to 49407.
    uint16_t NextFtpPort() { return static_cast<uint16_t>(49152 + (++ftp_counter_ & 0xFF)); }

  private:
    void Reap();  // joins the threads that have ended

    Server& server_;
    std::mutex mu_;
    std::vector<std::shared_ptr<TransferSession>> running_;  // GUARDED_BY(mu_)
    std::atomic<uint32_t> ftp_counter_{0};
};

// The server's transfer service, and the hooks that connect it to the receivers and sessions.
// Call once, after InstallReceivers.
TransferService& InstallTransfers(Server& server);
TransferService& Transfers(Server& server);

// The end of every session: the receiver gets its output and its Parse mode back, the
// attachment and receiver lose their transfer marks, the second link closes.
void EndTransfer(TransferSession& s);

// Sends bytes (a frame, a control byte) to the receiver the blocks travel on, after dropping
// what it had sent: its answer is the next thing in the reply buffer.
void SendToReceiver(Receiver& r, const void* data, size_t n);
void SendControlByte(Receiver& r, uint8_t control);

}  // namespace orvana
