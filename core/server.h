#pragma once
// The server object: the one object the core shares with every subsystem. It owns the event
// log, the statistics, the client table, the listening socket and the core threads, and runs
// start-up and shutdown.
//
// One per process in the product; tests build several in one process, each with its own store,
// home folder and port (PortServer "0" binds a free port, read back with ListenPort()).

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/blocking_socket.h"
#include "core/client_table.h"
#include "core/client_writer.h"
#include "core/config_store.h"
#include "core/event_log.h"
#include "core/statistics.h"
#include "core/time_sync.h"
#include "platform/clock.h"
#include "platform/sync.h"

namespace orvana {

class ReceiverTable;    // the open receivers (receivers/receiver_table.h)
class TransferService;  // the running file transfers (transfer/transfer_session.h)

struct ServerOptions {
    std::string home = ".";                  // the program's folder
    std::string program_name = "orvanasrv";  // logs and statistics are named after it
    std::string ports_folder;                // COMn links to serial devices
    // "host[:port]"; "off": none; empty: the store's TimeServer, if any.
    std::string time_server;
    TimeSync::ClockSetter set_clock;           // empty: the system clock
    TimeSync::SyncedCheck clock_synchronised;  // empty: the kernel's report
    std::function<platform::LocalTime()> clock = platform::NowLocal;
    std::function<uint32_t()> tick =
        platform::TickCount;  // periodic jobs' and back-offs' time base
    std::function<void(uint32_t ms)> sleep = platform::SleepMs;  // the back-off waits

    // Product values; tests shorten them.
    uint32_t first_frame_wait_ms = 20000;
    uint32_t keepalive_first_ms = 30000;
    uint32_t keepalive_period_ms = 300000;
    uint32_t send_limit_ms = CBlockingSocket::kDefaultSendLimitMs;
    uint32_t shutdown_pause_ms = 2000;
    uint32_t time_sync_limit_ms = 3000;
    uint32_t command_reply_ms = 75000;  // a client's receiver command
    // How long start-up tries to bind the listening port before the process gives up (another
    // program may be releasing it); a server without a listener would serve nobody.
    uint32_t bind_retry_ms = 60000;
    uint32_t accept_retry_ms = 500;  // the pause after a failed accept
    // The longest a file transfer waits for its peer (a receiver's block or acknowledgement,
    // an FTP reply or data) before it gives up.
    uint32_t transfer_wait_ms = 75000;
    // The longest wait for a modem's answer to a dial; 0: the Hayes sequences' own (60 and 90 s).
    uint32_t modem_dial_ms = 0;
};

// What later subsystems plug into the core without the core knowing their types.
struct ServerHooks {
    // Dispatch: is the receiver at `handle` busy with a file transfer (and not on TCP)?
    std::function<bool(ClientSession&, uint8_t handle)> transfer_busy;
    // Session release: close the attachment at `handle` without reply frames.
    std::function<void(ClientSession&, uint8_t handle)> close_attachment;
    // Session release: close the session's LoadFile files.
    std::function<void(ClientSession&)> end_transfers;
    // Shutdown, after every session has been released: the background work of the
    // subsystems (transfers, a detection run) ends and its threads are joined, in this order.
    std::vector<std::function<void()>> at_stop;
    // Shutdown, first: subsystems that are clients of the server themselves (the NTRIP caster)
    // end their sessions while every receiver is still there.
    std::vector<std::function<void()>> at_stop_begin;
    // DetectRcv: start a detection run for the session (or tell it when the running one ends).
    std::function<void(const std::shared_ptr<ClientSession>&)> detect_receivers;
    // SendFrame: count bytes sent on an attachment. Called before the frame is queued.
    std::function<void(ClientSession&, uint8_t handle, size_t bytes)> count_sent;
    // Ping with a receiver name: the echo test of a TCP receiver (links/).
    std::function<unsigned(ClientSession&, std::string_view name)> ping_receiver;
    // Chat: the operator's chat window, when a console exists.
    std::function<void(ClientSession&, std::string_view text)> chat_line;
};

class Server {
  public:
    static constexpr unsigned kMaxReceivers = 64;
    static constexpr const char* kBuiltInLogin = "OpenUsr Demon Zelmar SysService";

    Server(ConfigStore& store, ServerOptions options);
    ~Server();  // runs StopServer when it was started
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Start-up from the command line (its first word names the configuration). False: the
    // process is to end at once.
    bool StartServer(std::string_view command_line);
    void StopServer();

    // Queues one frame for the client in `slot` and never waits; true when it was queued. The
    // client writer sends it; a client whose queue passes its bound or whose socket fails is
    // cut off there (lost, connection broken) and its session thread reports why.
    bool SendFrame(unsigned slot, uint8_t handle, uint16_t type, unsigned code, const void* data,
                   size_t length);
    bool SendReply(unsigned slot, uint8_t handle, uint16_t type, unsigned code,
                   std::string_view text);
    // The same to a session the caller holds (a thread that must not reach a later client of
    // the same slot).
    bool SendFrame(const std::shared_ptr<ClientSession>& s, uint8_t handle, uint16_t type,
                   unsigned code, const void* data, size_t length);
    // The keep-alive frame; a failure also sets the session's ping failure flag.
    bool SendKeepAlive(unsigned slot);
    // For a thread that makes many frames for one client and holds no lock (a session thread
    // answering requests, a download): waits until the client's queue is down to
    // kPaceBytes. A client that takes nothing for the send limit is cut off (false).
    bool PaceSends(ClientSession& s);
    static constexpr size_t kPaceBytes = 256 * 1024;
    bool ReleaseSession(unsigned slot);

    ConfigStore& store() { return store_; }
    EventLog& log() { return *log_; }
    Statistics& statistics() { return statistics_; }
    ClientTable& clients() { return clients_; }
    ServerHooks& hooks() { return hooks_; }
    // What a client's send queue may hold before it is cut off, as the server runs with it.
    const QueueBounds& client_queue_bounds() const { return writer_.bounds(); }
    const ServerOptions& options() const { return options_; }

    const std::string& configuration_name() const { return config_name_; }
    const std::string& users_path() const { return users_path_; }
    const std::string& receivers_path() const { return receivers_path_; }
    const std::string& interface_path() const { return interface_path_; }
    const std::string& host_address() const { return host_address_; }
    const std::string& program_path() const { return program_path_; }
    const std::string& program_folder() const { return program_folder_; }
    const std::string& listen_address() const { return listen_address_; }
    const std::string& listen_port() const { return listen_port_text_; }
    uint32_t start_tick() const { return start_tick_; }
    // How long the server has run, past the 49 days after which the tick count wraps.
    uint64_t online_ms() const { return platform::MonotonicMs() - start_ms_; }
    // The bound port, 0 when not listening.
    uint16_t ListenPort() const { return bound_port_; }
    // The reported text when the listener could not be opened (empty otherwise).
    const std::string& listen_failure() const { return listen_failure_; }

    // Receiver table names, entries 1..64 ("" when free). Guarded by the receiver table lock.
    platform::RecursiveLock& receiver_table_lock() { return receiver_table_lock_; }
    std::array<std::string, kMaxReceivers + 1>& receiver_names() { return receiver_names_; }
    // Connection list columns announced to any client so far; never cleared.
    std::atomic<uint32_t>& announced_columns() { return announced_columns_; }
    ServerMetrics& metrics() { return metrics_; }
    std::mutex& access_list_lock() { return access_list_lock_; }
    // The open receivers; installed by the receivers subsystem before start-up.
    ReceiverTable* receiver_table() { return receiver_table_.get(); }
    void set_receiver_table(std::shared_ptr<ReceiverTable> table) {
        receiver_table_ = std::move(table);
    }
    TransferService* transfer_service() { return transfer_service_.get(); }
    void set_transfer_service(std::shared_ptr<TransferService> service) {
        transfer_service_ = std::move(service);
    }
    // Login counter, Part of every successful login.
    uint32_t NextSessionNumber() { return ++login_counter_; }

    // The periodic jobs: renewing the event log (and deleting old ones), setting the clock.
    // Start-up runs both once; a maintenance thread then runs them every ModifyLogFileName
    // hours and every 6 hours, with or without a console.
    void RetainLogs();
    void SynchroniseClock();
    // ModifyLogFileName, with 0 or more than 36 replaced by 24 (and written back).
    uint32_t LogRenewalHours();
    // The client and receiver tables can each be taken within a second.
    bool TablesAnswer();
    // The console's log view; kept across log renewals.
    void SetLogViewSink(EventLog::ViewSink sink);

  private:
    bool SendFrameTo(const std::shared_ptr<ClientSession>& s, uint8_t handle, uint16_t type,
                     unsigned code, const void* data, size_t length, bool keep_alive);
    // Starts the next thread of the accept chain; false (logged) when the system cannot.
    bool StartSessionThread();
    void SessionThreadEnded();
    void SessionThread();
    // Binds and listens, trying again for bind_retry_ms; false when it never succeeded
    // (listen_failure_ says why).
    bool OpenListener(const std::string& version);
    // Waits for the next client. A failed accept is logged (once per run of failures) and tried
    // again after a pause: the chain must never end while the server runs. False at shutdown.
    bool AcceptNext(CBlockingSocket& connection, platform::Ipv4Endpoint& peer);
    void KeepAliveThread();
    void StartMaintenance();
    void ServeClient(const std::shared_ptr<ClientSession>& session);
    // "ER:<who> from Read/Write Socket reply <E>" for a session the client writer cut off, with
    // what was waiting when a bound cut it.
    void ReportCutOff(ClientSession& s);
    QueueBounds ReadQueueBounds();

    ConfigStore& store_;
    ServerOptions options_;
    ServerHooks hooks_;
    std::unique_ptr<EventLog> log_;  // created with the server, opened by the first RetainLogs
    bool log_opened_ = false;
    Statistics statistics_;
    ClientTable clients_;
    ServerMetrics metrics_;  // before the writer, which counts into it
    ClientWriter writer_;    // after the clients: it holds sessions while it sends

    std::string config_name_, users_path_, receivers_path_, interface_path_;
    std::string listen_address_, listen_port_text_, host_address_;
    std::string program_path_, program_folder_, listen_failure_;
    uint32_t start_tick_ = 0;
    uint64_t start_ms_ = 0;
    std::atomic<uint16_t> bound_port_{0};
    std::atomic<uint32_t> login_counter_{0};
    std::atomic<uint32_t> announced_columns_{0};

    platform::RecursiveLock receiver_table_lock_;
    std::array<std::string, kMaxReceivers + 1> receiver_names_;  // GUARDED_BY(receiver_table_lock_)
    std::shared_ptr<ReceiverTable> receiver_table_;      // released before the log and the clients
    std::shared_ptr<TransferService> transfer_service_;  // released before the receiver table
    std::mutex access_list_lock_;

    CBlockingSocket listener_;
    std::atomic<bool> started_{false};
    std::atomic<bool> stopping_{false};
    platform::Event keepalive_stop_{platform::Event::Reset::Auto};
    platform::Thread keepalive_thread_;
    platform::Event maintenance_stop_{platform::Event::Reset::Manual};
    platform::Thread maintenance_thread_;

    // Session threads of the accept chain: joined when they finish or at shutdown.
    std::mutex threads_mu_;
    std::vector<std::thread> session_threads_;       // GUARDED_BY(threads_mu_)
    std::vector<std::thread::id> finished_threads_;  // GUARDED_BY(threads_mu_)
    std::condition_variable threads_cv_;
    unsigned live_session_threads_ = 0;  // GUARDED_BY(threads_mu_)
};

}  // namespace orvana
