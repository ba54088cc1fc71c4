#include "core/server.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "core/config_keys.h"
#include "core/keep_alive.h"
#include "core/login.h"
#include "core/request_dispatch.h"
#include "core/server_frames.h"
#include "core/text.h"
#include "platform/clock.h"
#include "platform/env.h"
#include "platform/folders.h"
#include "platform/hive.h"
#include "platform/net.h"
#include "platform/serial_port.h"
#include "platform/service_notify.h"

namespace orvana {
namespace {

constexpr const char* kTerminated = "ER:Server terminated!";
constexpr uint16_t kTerminatedType = 0xF00;
constexpr size_t kMaxReceiverName = 63;
constexpr uint32_t kTimeSyncPeriodMs = 21600000;
constexpr uint32_t kDefaultLogHours = 24;
constexpr uint32_t kBindRetryPauseMs = 1000;

}  // namespace

Server::Server(ConfigStore& store, ServerOptions options)
    : store_(store), options_(std::move(options)), statistics_(options_.clock) {
    if (options_.home.empty()) options_.home = ".";
    if (options_.home.back() == '/') options_.home.pop_back();
    program_folder_ = options_.home + "/";
    program_path_ = program_folder_ + options_.program_name;
    log_ = std::make_unique<EventLog>(program_path_, options_.clock);
}

Server::~Server() {
    if (started_) StopServer();
}

bool Server::StartServer(std::string_view command_line) {
    // 1. The first word names the configuration.
    std::string_view line = TrimBlanks(command_line);
    config_name_ = std::string(line.substr(0, line.find(' ')));

    // 2. Nothing is left from an earlier run.
    clients_.Clear();
    {
        std::lock_guard<platform::RecursiveLock> guard(receiver_table_lock_);
        for (auto& n : receiver_names_) n.clear();
    }

    // 3.-5. The active configuration and the basic settings at the root.
    ConfigStore root = store_.AtRoot();
    if (config_name_.empty()) {
        config_name_ = root.ReadText(cfg::kActiveKey, cfg::kCurrentConfig);
        if (config_name_.empty()) {
            config_name_ = cfg::kDefaultConfigName;
            root.WriteText(cfg::kActiveKey, cfg::kCurrentConfig.name, config_name_);
        }
    }
    if (!store_.hive().GetValue(root.BaseKey(), cfg::kLogFile.name))
        root.WriteNumber(cfg::kActiveKey, cfg::kLogFile.name, cfg::kLogFile.fallback);
    store_.SetActiveConfiguration(config_name_);
    users_path_ = cfg::kUsersKey;
    receivers_path_ = cfg::kReceiversKey;
    interface_path_ = cfg::kInterfaceKey;

    // 6. Listening address and port.
    listen_address_ = store_.ReadText(cfg::kActiveKey, cfg::kIPAdress.name, "");
    if (listen_address_.empty()) {
        listen_address_ = cfg::kIPAdress.fallback;
        store_.WriteText(cfg::kActiveKey, cfg::kIPAdress.name, listen_address_);
    }
    listen_port_text_ = store_.ReadText(cfg::kActiveKey, cfg::kPortServer.name, "");
    if (listen_port_text_.empty()) {
        listen_port_text_ = cfg::kPortServer.fallback;
        store_.WriteText(cfg::kActiveKey, cfg::kPortServer.name, listen_port_text_);
    }

    // 7.-9. Start time, program path, scripts folder.
    start_tick_ = platform::TickCount();
    start_ms_ = platform::MonotonicMs();
    store_.WriteText(cfg::kActiveKey, cfg::kPathToServer.name, program_path_);
    if (store_.ReadText(cfg::kActiveKey, cfg::kScripts).empty()) {
        const std::string scripts = program_folder_ + "Scripts/";
        store_.WriteText(cfg::kActiveKey, cfg::kScripts.name, scripts);
        platform::MakeFolder(scripts);
    }

    // 10.-11. Statistics and the event log.
    // Only the file name is lower-cased: on a case-sensitive file system the folder must stay
    // as it is spelled, or the file lands nowhere.
    statistics_.OpenStatistics(program_folder_ + ToLowerAscii(options_.program_name) + ".sta");
    RetainLogs();

    // 12. The machine's own address.
    host_address_.clear();
    for (uint32_t a : platform::InterfaceAddresses()) {
        std::string text = platform::DottedAddress(a);
        if (text != "127.0.0.1" && text != "0.0.0.0") {
            host_address_ = text;
            break;
        }
    }

    // 14. Version, and the clock set once.
    std::string version = cfg::kVersionText;
    store_.WriteText(cfg::kActiveKey, cfg::kVersion.name, version);
    log_->WriteRaw(version);
    SynchroniseClock();
    log_->WriteRaw(version);

    // 15. The receiver table from the enabled receivers.
    {
        std::lock_guard<platform::RecursiveLock> guard(receiver_table_lock_);
        unsigned loaded = 0;
        for (const std::string& name : store_.SubKeys(receivers_path_)) {
            if (name.size() > kMaxReceiverName) break;
            if (loaded == kMaxReceivers) {
                // More receivers than the table holds: the process ends without serving.
                log_->WriteLine("ER:More than 64 receivers enabled");
                return false;
            }
            if (store_.ReadFlag(receivers_path_ + name, cfg::kEnableRcv))
                receiver_names_[++loaded] = name;
        }
    }

    std::string writer_error;
    writer_.CountIn(&metrics_.clients);
    if (!writer_.Start(ReadQueueBounds(), &writer_error)) {
        log_->WriteLine("ER:Can't start the client writer (" + writer_error + ")");
        return false;
    }
    started_ = true;
    stopping_ = false;

    // 16. The listener.
    if (!OpenListener(version)) {
        writer_.Stop();
        started_ = false;
        return false;
    }

    // 17. The accept chain and the keep-alive thread. A server without its first acceptor
    // would run deaf: it ends instead, and its supervisor may start it again.
    if (!StartSessionThread()) {
        listener_.Cleanup();
        writer_.Stop();
        started_ = false;
        return false;
    }
    keepalive_thread_ = platform::Thread([this] { KeepAliveThread(); });
    StartMaintenance();
    return true;
}

void Server::StopServer() {
    if (!started_.exchange(false)) return;
    for (auto& stop : hooks_.at_stop_begin) stop();
    stopping_ = true;
    keepalive_stop_.Set();
    maintenance_stop_.Set();
    listener_.Cleanup();

    std::vector<std::shared_ptr<ClientSession>> told;
    for (unsigned i = 0; i < ClientTable::kSlots; ++i) {
        std::shared_ptr<ClientSession> s = clients_.Get(i);
        if (!s) continue;
        std::string address;
        {
            std::lock_guard<platform::RecursiveLock> guard(clients_.lock());
            address = s->address;
        }
        log_->WriteRaw("Client=" + address + kTerminated);
        SendReply(i, 0, kTerminatedType, 0, kTerminated);
        told.push_back(std::move(s));
    }
    // The frames go out to every client at once; one that takes nothing holds up the end for
    // the shutdown pause at most.
    const uint32_t told_at = platform::TickCount();
    for (const auto& s : told) {
        const uint32_t spent = platform::TickCount() - told_at;
        if (spent < options_.shutdown_pause_ms)
            s->outgoing.AwaitAtMost(0, options_.shutdown_pause_ms - spent);
        s->Cleanup();
    }
    told.clear();

    // Every session thread has been woken; they release their slots and end.
    {
        std::unique_lock<std::mutex> lock(threads_mu_);
        threads_cv_.wait_for(lock, std::chrono::milliseconds(options_.shutdown_pause_ms),
                             [this] { return live_session_threads_ == 0; });
    }
    keepalive_thread_.Join();
    maintenance_thread_.Join();
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(threads_mu_);
        threads.swap(session_threads_);
        finished_threads_.clear();
    }
    for (auto& t : threads)
        if (t.joinable()) t.join();
    // Sessions of clients inside the server, if any are left, go now.
    for (unsigned i = 0; i < ClientTable::kSlots; ++i) ReleaseSession(i);
    for (auto& stop : hooks_.at_stop) stop();
    writer_.Stop();

    {
        std::lock_guard<platform::RecursiveLock> guard(receiver_table_lock_);
        for (auto& n : receiver_names_) n.clear();
    }
    statistics_.CloseStatistics();
    log_->Close();
    log_opened_ = false;
    bound_port_ = 0;
}

void Server::RetainLogs() {
    if (!log_opened_) {
        log_opened_ = true;
        log_->Open();
    } else {
        log_->Renew();
    }
    const uint32_t days = store_.ReadNumber(cfg::kActiveKey, cfg::kTimeKillLog, KeyAccess::Create);
    if (days == 0) {
        store_.WriteNumber(cfg::kActiveKey, cfg::kTimeKillLog.name, 0);
        return;
    }
    const std::time_t now = platform::UnixTime();
    for (const platform::FileInfo& f :
         platform::ListFiles(options_.home, options_.program_name, ".log")) {
        if (f.modified + static_cast<std::time_t>(days) * 86400 < now) platform::RemoveFile(f.path);
    }
}

void Server::SetLogViewSink(EventLog::ViewSink sink) {
    log_->SetViewSink(std::move(sink));
}

void Server::SynchroniseClock() {
    // Only a time server somebody named: the computer's clock is not ours to set otherwise.
    const std::string server = options_.time_server.empty()
                                   ? store_.ReadText(cfg::kActiveKey, cfg::kTimeServer)
                                   : options_.time_server;
    TimeSync sync(server, options_.set_clock, options_.time_sync_limit_ms, log_.get(),
                  options_.clock_synchronised);
    sync.Run();
}

uint32_t Server::LogRenewalHours() {
    uint32_t hours = store_.ReadNumber(cfg::kActiveKey, cfg::kModifyLogFileName);
    if (hours == 0 || hours > cfg::kMaxLogFileHours) {
        hours = kDefaultLogHours;
        store_.WriteNumber(cfg::kActiveKey, cfg::kModifyLogFileName.name, hours);
    }
    return hours;
}

bool Server::TablesAnswer() {
    auto taken = [](platform::RecursiveLock& lock) {
        for (int i = 0; i < 100; ++i) {
            if (lock.try_lock()) {
                lock.unlock();
                return true;
            }
            platform::SleepMs(10);
        }
        return false;
    };
    return taken(clients_.lock()) && taken(receiver_table_lock_);
}

void Server::StartMaintenance() {
    const uint32_t renew_ms = LogRenewalHours() * 3600000u;
    // Periods count from start-up, not from whenever the thread gets to run.
    const uint32_t started = options_.tick();
    // A service manager that watches the server hears from it at half its interval, and only
    // while the client and receiver tables can be had: a server stuck on them gets restarted.
    const uint32_t alive_ms = platform::WatchdogIntervalMs() / 2;
    maintenance_thread_ = platform::Thread([this, renew_ms, started, alive_ms] {
        uint32_t last_sync = started;
        uint32_t last_renew = started;
        uint32_t last_alive = started;
        // Woken at least once a second to look at the periods; the stop event ends it.
        while (!maintenance_stop_.Wait(std::min<uint32_t>(1000, alive_ms > 0 ? alive_ms : 1000))) {
            const uint32_t now = options_.tick();
            if (alive_ms > 0 && now - last_alive >= alive_ms && TablesAnswer()) {
                last_alive = now;
                platform::NotifyAlive();
            }
            if (now - last_sync >= kTimeSyncPeriodMs) {
                last_sync = now;
                SynchroniseClock();
            }
            if (now - last_renew >= renew_ms) {
                last_renew = now;
                RetainLogs();
            }
        }
    });
}

// ---- sending ---------------------------------------------------------------------------------

bool Server::SendFrame(unsigned slot, uint8_t handle, uint16_t type, unsigned code,
                       const void* data, size_t length) {
    // The reference keeps the session alive through the send without holding the table lock,
    // so a client that stops reading holds up nobody but its own senders.
    return SendFrameTo(clients_.Get(slot), handle, type, code, data, length, false);
}

bool Server::SendFrame(const std::shared_ptr<ClientSession>& s, uint8_t handle, uint16_t type,
                       unsigned code, const void* data, size_t length) {
    return SendFrameTo(s, handle, type, code, data, length, false);
}

bool Server::SendFrameTo(const std::shared_ptr<ClientSession>& s, uint8_t handle, uint16_t type,
                         unsigned code, const void* data, size_t length, bool keep_alive) {
    if (!s) return false;
    const size_t total = FrameSize(length);
    if (handle != 0 && hooks_.count_sent) hooks_.count_sent(*s, handle, total);
    std::vector<uint8_t> frame(total);
    BuildServerFrame(reinterpret_cast<char*>(frame.data()), type, handle, code, data, length);
    if (s->QueueFrames(std::move(frame))) return true;
    if (keep_alive) s->ping_failed = true;
    return false;
}

bool Server::PaceSends(ClientSession& s) {
    if (s.outgoing.AwaitAtMost(kPaceBytes, options_.send_limit_ms)) return true;
    s.CutOff(10060);
    return false;
}

void Server::ReportCutOff(ClientSession& s) {
    if (!s.outgoing.cut_off()) return;
    const CutOffReport r = s.outgoing.cut_off_report();
    std::string who;
    {
        std::lock_guard<platform::RecursiveLock> guard(clients_.lock());
        who = s.user_name + "/" + s.task + "(" + s.address + ")";
    }
    char line[1024];
    if (r.waiting > 0)
        std::snprintf(line, sizeof line,
                      "ER:%s from Read/Write Socket reply %d (%zu bytes waiting, the oldest %u ms)",
                      who.c_str(), r.error, r.waiting, r.oldest_ms);
    else
        std::snprintf(line, sizeof line, "ER:%s from Read/Write Socket reply %d", who.c_str(),
                      r.error);
    log_->WriteLine(line);
}

QueueBounds Server::ReadQueueBounds() {
    auto read = [this](const cfg::NumberSetting& setting) {
        uint32_t value = store_.ReadNumber(cfg::kActiveKey, setting);
        if (value == 0) {
            value = setting.fallback;
            store_.WriteNumber(cfg::kActiveKey, setting.name, value);
        }
        return value;
    };
    QueueBounds b;
    b.max_bytes = std::max(read(cfg::kClientQueueBytes), cfg::kMinClientQueueBytes);
    b.max_age_ms = read(cfg::kClientQueueSeconds) * 1000u;
    return b;
}

bool Server::SendKeepAlive(unsigned slot) {
    return SendFrameTo(clients_.Get(slot), 0, 0x600, 0, "Ping", 4, true);
}

bool Server::SendReply(unsigned slot, uint8_t handle, uint16_t type, unsigned code,
                       std::string_view text) {
    return SendFrame(slot, handle, type, code, text.data(), text.size());
}

bool Server::ReleaseSession(unsigned slot) {
    std::shared_ptr<ClientSession> s = clients_.Take(slot);
    if (!s) return false;
    // What the client was sent last (a reply, the end of the server) reaches it first.
    writer_.Remove(*s, options_.send_limit_ms);
    if (s->session_number != 0) {
        char line[256];
        int n = std::snprintf(line, sizeof line, "     Exit %s Send = %d Rcv = %d Error = %d",
                              s->ping_failed ? "Lose client" : "", s->send_total, s->handle_count,
                              s->error_total);
        if (const uint64_t dropped = s->outgoing.dropped_bytes(); dropped > 0 && n > 0)
            std::snprintf(line + n, sizeof line - static_cast<size_t>(n), " Dropped = %llu",
                          static_cast<unsigned long long>(dropped));
        statistics_.WriteRecord(line, s->session_number);
    }
    if (hooks_.close_attachment) {
        for (unsigned h = 1; h <= s->handle_count && h < s->handle_table.size(); ++h)
            if (s->handle_table[h]) hooks_.close_attachment(*s, static_cast<uint8_t>(h));
    }
    if (hooks_.end_transfers) hooks_.end_transfers(*s);
    s->Cleanup();
    return true;
}

bool Server::OpenListener(const std::string& version) {
    listen_failure_.clear();
    const uint32_t start = platform::TickCount();
    for (;;) {
        try {
            platform::Ipv4Endpoint at;
            if (!platform::ParseDotted(listen_address_, &at.address)) {
                platform::SetLastSocketError(10049);
                throw CBlockingSocketException("Bind");
            }
            at.port = static_cast<uint16_t>(std::strtoul(listen_port_text_.c_str(), nullptr, 10));
            listener_.Create(1);
            listener_.Bind(at);
            listener_.Listen(platform::MaxBacklog());
            bound_port_ = listener_.LocalEndpoint().port;
            return true;
        } catch (const CBlockingSocketException& e) {
            listener_.Cleanup();
            // Reported once; the tries after it are the same failure.
            if (listen_failure_.empty()) {
                std::string text = version;
                e.Report(text, log_.get());
                listen_failure_ = text;
            }
        }
        if (platform::TickCount() - start >= options_.bind_retry_ms) {
            log_->WriteLine("ER:No listening socket on " + listen_address_ + ":" +
                            listen_port_text_ + "; the server ends");
            return false;
        }
        platform::SleepMs(kBindRetryPauseMs);
    }
}

// ---- the accept chain ------------------------------------------------------------------------

bool Server::StartSessionThread() {
    std::lock_guard<std::mutex> lock(threads_mu_);
    // Threads that have ended are joined here, so the chain does not pile up finished threads.
    for (std::thread::id id : finished_threads_) {
        auto it = std::find_if(session_threads_.begin(), session_threads_.end(),
                               [id](const std::thread& t) { return t.get_id() == id; });
        if (it != session_threads_.end()) {
            it->join();
            session_threads_.erase(it);
        }
    }
    finished_threads_.clear();
    std::thread thread;
    const int error = platform::CurrentEnv().StartThread(&thread, [this] { SessionThread(); });
    if (error != 0) {
        log_->WriteLine("ER:Can't start a session thread (" + platform::SystemErrorText(error) +
                        ")");
        return false;
    }
    ++live_session_threads_;
    session_threads_.push_back(std::move(thread));
    return true;
}

void Server::SessionThreadEnded() {
    std::lock_guard<std::mutex> lock(threads_mu_);
    finished_threads_.push_back(std::this_thread::get_id());
    --live_session_threads_;
    threads_cv_.notify_all();
}

bool Server::AcceptNext(CBlockingSocket& connection, platform::Ipv4Endpoint& peer) {
    unsigned failures = 0;
    for (;;) {
        try {
            listener_.Accept(connection, &peer, false);
            if (failures > 0)
                log_->WriteLine("Accept works again after " + std::to_string(failures) +
                                " failed tries");
            return true;
        } catch (const CBlockingSocketException& e) {
            // The listener closed by shutdown ends the chain; anything else (out of file
            // descriptors, a connection reset before it was taken) passes.
            if (stopping_) return false;
            if (failures++ == 0) {
                std::string text = "Accept";
                e.Report(text, log_.get());
            }
        }
        for (uint32_t waited = 0; waited < options_.accept_retry_ms && !stopping_; waited += 50)
            platform::SleepMs(50);
    }
}

void Server::SessionThread() {
    CBlockingSocket connection;
    platform::Ipv4Endpoint peer;
    for (;;) {
        if (!AcceptNext(connection, peer)) {
            SessionThreadEnded();  // the listener was closed: the chain ends here
            return;
        }
        if (stopping_) {
            connection.Cleanup();
            SessionThreadEnded();
            return;
        }
        if (StartSessionThread()) break;
        // Without a next acceptor this thread stays the acceptor: its client is turned away
        // (the next accept releases its descriptor).
        connection.Cleanup();
        platform::SleepMs(options_.accept_retry_ms);
    }

    char peek[129] = {};
    int n = connection.ReceivePeek(peek, 128, true, options_.first_frame_wait_ms);
    if (n <= 0) {
        connection.Cleanup();  // silent for too long: dropped without a session
        SessionThreadEnded();
        return;
    }
    const std::string address =
        platform::DottedAddress(peer.address) + ":" + std::to_string(peer.port) + " ";
    // Only a client on this machine can be the built-in one.
    const bool built_in = n >= 6 &&
                          std::string_view(peek + 6, static_cast<size_t>(n) - 6) == kBuiltInLogin &&
                          platform::IsLoopback(peer.address);
    std::shared_ptr<ClientSession> session = clients_.AllocateSession(built_in ? 0 : 1);
    if (!session) {
        const char* text = "ER:Don't have place for client";
        std::vector<char> frame(FrameSize(std::strlen(text)));
        BuildServerFrame(frame.data(), 0, 0, 0, text, std::strlen(text));
        connection.SetSendLimit(options_.send_limit_ms);
        connection.Send(frame.data(), static_cast<int>(frame.size()));
        log_->WriteRaw(std::string(text) + "=" + address);
        connection.Cleanup();
        SessionThreadEnded();
        return;
    }
    {
        // Other threads read these under the table lock as soon as the slot is taken.
        std::lock_guard<platform::RecursiveLock> guard(clients_.lock());
        session->remote = !built_in;
        session->TakeConnection(connection);
        session->address = address;
        session->peer_address = peer.address;
        session->connected_tick = platform::TickCount();
    }
    writer_.Add(session);  // a socket it cannot watch is cut off, and the loop below ends
    log_->WriteLine(" New Client " + address + "thread started\r\n");

    ServeClient(session);

    std::string user, task;
    {
        std::lock_guard<platform::RecursiveLock> guard(clients_.lock());
        user = session->user_name;
        task = session->task;
    }
    log_->WriteLine("Client=" + user + "/" + address + "(" + task + ") thread terminated\r\n");
    ReleaseSession(session->slot_index);
    ReportCutOff(*session);
    SessionThreadEnded();
}

void Server::ServeClient(const std::shared_ptr<ClientSession>& session) {
    ClientSession& s = *session;
    s.received = 0;
    while (!s.lost) {
        const int room = static_cast<int>(ClientSession::kReceiveBufferSize - 1 - s.received);
        int n = s.Receive(s.receive_buffer.data() + s.received, room, 9999);
        if (n == -2) continue;
        if (n <= 0) {
            uint8_t none = 0;
            CloseUsr(*this, {}, s, none);
            continue;
        }
        s.received += static_cast<size_t>(n);
        OnRequestBytes(*this, s);
    }
}

// ---- keep-alive ------------------------------------------------------------------------------

void Server::KeepAliveThread() {
    log_->WriteLine("Ping thread started\r\n");
    uint32_t wait_ms = options_.keepalive_first_ms;
    for (;;) {
        RunKeepAliveCycle(*this);
        if (keepalive_stop_.Wait(wait_ms)) break;
        wait_ms = options_.keepalive_period_ms;
    }
    log_->WriteLine("Ping thread terminated\r\n");
}

}  // namespace orvana
