#include "links/receiver_detection.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <vector>

#include "core/client_session.h"
#include "core/config_keys.h"
#include "core/server.h"
#include "links/com_link.h"
#include "links/usb_link.h"
#include "platform/port_folder.h"
#include "platform/sync.h"
#include "receivers/receiver_table.h"
#include "receivers/terminal_settings.h"

namespace orvana {
namespace {

constexpr size_t kMaxProbes = 32;
constexpr size_t kMaxUsbReceivers = 8;
constexpr uint16_t kRegisterNotice = 0x700;
constexpr uint16_t kDetectionEnd = 0xD00;

// The speed at which a receiver answered on COM n, or 0.
uint32_t ProbePort(Server& server, const std::string& n) {
    server.log().WriteLine("Detect thread COM" + n + " start");
    ComLink link(Receivers(server).MakeContext(), n);
    uint32_t speed = 0;
    if (link.error_text.empty()) {
        link.speed_text = "115200";
        // A probe only looks: the receiver keeps the speed it was found at, which is the one
        // stored for it.
        speed = SpeedSearch(link, link.open_attempts() > 1, false);
    } else {
        server.log().WriteLine("Detect thread RCV=" + n + " " + link.error_text);
    }
    server.log().WriteLine("Detect thread COM" + n + " stop");
    return speed;
}

// Whether an open receiver holds serial port n (a COM receiver or a modem on it).
bool PortInUse(Server& server, const std::string& n) {
    std::lock_guard<platform::RecursiveLock> guard(server.receiver_table_lock());
    ReceiverTable& table = Receivers(server);
    for (unsigned i = 1; i <= ReceiverTable::kSlots; ++i) {
        const Receiver* r = table.slot(i);
        if (r != nullptr && (r->kind == LinkKind::kCom || r->kind == LinkKind::kModem) &&
            r->address == n)
            return true;
    }
    return false;
}

class Detection {
  public:
    explicit Detection(Server& server) : server_(server) {}
    ~Detection() { Stop(); }

    void Request(const std::shared_ptr<ClientSession>& client) {
        std::lock_guard<std::mutex> guard(mu_);
        waiting_.push_back(client);
        if (running_) return;
        thread_.Join();  // the run before, ended
        std::string why;
        running_ = thread_.Start([this] { Run(); }, &why);
        if (!running_) {
            server_.log().WriteLine("ER:Can't start the detection thread (" + why + ")");
            waiting_.clear();
        }
    }
    void Stop() { thread_.Join(); }

  private:
    struct Found {
        std::string port;
        uint32_t speed = 0;
    };

    void Run() {
        std::vector<platform::Thread> probes;
        std::mutex results_mu;
        std::condition_variable results_cv;
        std::deque<Found> results;
        for (const std::string& entry : platform::ListComPorts(server_.options().ports_folder)) {
            const std::string n = entry.substr(3);
            if (probes.size() >= kMaxProbes || PortInUse(server_, n)) continue;
            platform::Thread probe;
            std::string why;
            if (!probe.Start(
                    [&, n] {
                        Found f{n, ProbePort(server_, n)};
                        std::lock_guard<std::mutex> g(results_mu);
                        results.push_back(std::move(f));
                        results_cv.notify_one();
                    },
                    &why)) {
                server_.log().WriteLine("ER:Can't start the detect thread for COM" + n);
                continue;
            }
            probes.push_back(std::move(probe));
        }
        // In the order the probes end; each probe ends by itself (its command waits are
        // bounded).
        for (size_t done = 0; done < probes.size(); ++done) {
            Found f;
            {
                std::unique_lock<std::mutex> g(results_mu);
                results_cv.wait(g, [&] { return !results.empty(); });
                f = std::move(results.front());
                results.pop_front();
            }
            std::lock_guard<std::mutex> detection(server_.access_list_lock());
            Record(f);
        }
        probes.clear();  // joins
        {
            std::lock_guard<std::mutex> detection(server_.access_list_lock());
            RecordUsb();
        }
        std::vector<std::weak_ptr<ClientSession>> told;
        {
            std::lock_guard<std::mutex> guard(mu_);
            told.swap(waiting_);
            running_ = false;
        }
        const std::string end = "RE:End detect receivers";
        for (auto& w : told)
            if (auto c = w.lock())
                server_.SendFrame(c, 0, kDetectionEnd, 1, end.data(), end.size());
    }

    void Record(const Found& f) {
        const ConfigStore& store = server_.store();
        const std::string name = "COM" + f.port;
        const std::string interface_text = "COM " + f.port;
        const std::string receiver_key = std::string(cfg::kReceiversKey) + name;
        if (f.speed != 0) {
            const std::string key = std::string(cfg::kInterfaceKey) + interface_text;
            store.WriteText(key, cfg::kSpeed.name, std::to_string(f.speed));
            store.WriteNumber(key, cfg::kRTSCTS.name, 0);
            store.WriteText(receiver_key, cfg::kInterface.name, interface_text);
            RegisterReceiver(server_, true, name, true);
            return;
        }
        // An empty interface text would name the whole interface folder.
        const std::string old = store.ReadText(receiver_key, cfg::kInterface.name, "");
        if (!old.empty()) store.DeleteKey(std::string(cfg::kInterfaceKey) + old);
        if (store.KeyExists(receiver_key)) store.DeleteKey(receiver_key);
        RegisterReceiver(server_, false, name, false);
    }

    // Every receiver plugged in by USB, each once, at most eight.
    void RecordUsb() {
        const ConfigStore& store = server_.store();
        std::vector<std::string> seen;
        for (const UsbReceiverDevice& r : EnumerateUsbReceivers()) {
            const std::string id = UsbIdentifier(r.path);
            if (std::find(seen.begin(), seen.end(), id) != seen.end()) continue;
            if (seen.size() >= kMaxUsbReceivers) continue;
            seen.push_back(id);
            store.WriteText(std::string(cfg::kInterfaceKey) + "USB " + id, cfg::kID.name, id);
            store.WriteText(std::string(cfg::kReceiversKey) + "USB" + id, cfg::kInterface.name,
                            "USB " + id);
            RegisterReceiver(server_, true, "USB" + id, true);
        }
    }

    Server& server_;
    std::mutex mu_;
    bool running_ = false;                               // GUARDED_BY(mu_)
    std::vector<std::weak_ptr<ClientSession>> waiting_;  // GUARDED_BY(mu_)
    platform::Thread thread_;
};

}  // namespace

bool RegisterReceiver(Server& server, bool add, const std::string& name, bool write_enable) {
    unsigned filled = 0;
    {
        std::lock_guard<platform::RecursiveLock> guard(server.receiver_table_lock());
        auto& names = server.receiver_names();
        unsigned named = 0, free = 0;
        for (unsigned i = 1; i < names.size(); ++i) {
            if (named == 0 && names[i] == name) named = i;
            if (free == 0 && names[i].empty()) free = i;
        }
        if (!add) {
            if (named == 0) return false;
            names[named].clear();
        } else {
            if (named != 0) return false;
            if (free == 0) {
                server.log().WriteLine("Don't have temporary place for receiver!!");
                return false;
            }
            names[free] = name;
            Receivers(server).entry(free).state = -1;
            filled = free;
        }
    }
    if (filled != 0) {
        // The open lock comes before the table lock: taken only now.
        ReceiverEntry& entry = Receivers(server).entry(filled);
        std::lock_guard<std::mutex> open(entry.open_lock);
        entry.failure_tick = 0;
    }
    const std::string notice = "RS:" + name + "," + (add ? "1" : "0");
    server.log().WriteLine(notice);
    for (unsigned i = 0; i < ClientTable::kSlots; ++i) {
        std::shared_ptr<ClientSession> s = server.clients().Get(i);
        if (s && s->remote && !s->internal)
            server.SendFrame(s, 0, kRegisterNotice, 1, notice.data(), notice.size());
    }
    if (write_enable)
        server.store().WriteFlag(std::string(cfg::kReceiversKey) + name, cfg::kEnableRcv.name, add);
    return true;
}

unsigned DetectRcv(Server& server, std::string_view, ClientSession& s, uint8_t) {
    std::shared_ptr<ClientSession> self = server.clients().Get(s.slot_index);
    if (self.get() == &s && server.hooks().detect_receivers) server.hooks().detect_receivers(self);
    return 1;
}

void InstallDetection(Server& server) {
    auto detection = std::make_shared<Detection>(server);
    server.hooks().detect_receivers = [detection](const std::shared_ptr<ClientSession>& c) {
        detection->Request(c);
    };
    server.hooks().at_stop.push_back([detection] { detection->Stop(); });
}

}  // namespace orvana
