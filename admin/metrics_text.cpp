#include "admin/metrics_text.h"

#include <cstdio>
#include <mutex>
#include <utility>
#include <vector>

#include "core/server.h"
#include "receivers/receiver_table.h"

namespace orvana::admin {
namespace {

static_assert(ServerMetrics::kReceiverEntries == ReceiverTable::kSlots &&
                  ServerMetrics::kReceiverEntries == Server::kMaxReceivers,
              "one counter entry per receiver table entry");

class Exposition {
  public:
    void Family(const char* name, const char* type, const char* help) {
        name_ = name;
        text_ +=
            std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void Sample(uint64_t value, const std::string& labels = {}) {
        Line(std::to_string(value), labels);
    }
    void Seconds(uint64_t ms) {
        char number[32];
        std::snprintf(number, sizeof number, "%llu.%03u",
                      static_cast<unsigned long long>(ms / 1000), static_cast<unsigned>(ms % 1000));
        Line(number, {});
    }
    std::string Take() { return std::move(text_); }

  private:
    void Line(const std::string& value, const std::string& labels) {
        text_ += name_ + (labels.empty() ? "" : "{" + labels + "}") + " " + value + "\n";
    }
    std::string name_;
    std::string text_;
};

uint64_t Read(const std::atomic<uint64_t>& counter) {
    return counter.load(std::memory_order_relaxed);
}

}  // namespace

std::string LabelValue(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

std::string MetricsText(Server& server) {
    ServerMetrics& m = server.metrics();
    // The names and the open ones, read together under the table lock and nothing else.
    std::vector<std::pair<unsigned, std::string>> receivers;
    unsigned open = 0;
    if (ReceiverTable* table = server.receiver_table()) {
        std::lock_guard<platform::RecursiveLock> guard(server.receiver_table_lock());
        for (unsigned n = 1; n <= ServerMetrics::kReceiverEntries; ++n) {
            if (!server.receiver_names()[n].empty())
                receivers.emplace_back(n, server.receiver_names()[n]);
            if (table->slot(n) != nullptr) ++open;
        }
    }
    Exposition e;
    e.Family("orvanasrv_uptime_seconds", "gauge", "Seconds since the server started.");
    e.Seconds(server.online_ms());
    e.Family("orvanasrv_sessions", "gauge", "Client sessions connected to the request port.");
    e.Sample(server.clients().Count());
    e.Family("orvanasrv_receivers_open", "gauge", "Receivers open for at least one client.");
    e.Sample(open);
    e.Family("orvanasrv_receivers_enabled", "gauge", "Receivers in the receiver table.");
    e.Sample(receivers.size());

    struct PerReceiver {
        const char* name;
        const char* help;
        std::atomic<uint64_t> ReceiverTraffic::*counter;
    };
    const PerReceiver per_receiver[] = {
        {"orvanasrv_receiver_read_bytes_total", "Bytes read from the receiver.",
         &ReceiverTraffic::bytes_in},
        {"orvanasrv_receiver_containers_in_total",
         "Data messages from the receiver with a right checksum.", &ReceiverTraffic::containers_in},
        {"orvanasrv_receiver_bad_checksums_total",
         "Data messages from the receiver dropped for a bad checksum.",
         &ReceiverTraffic::bad_checksums},
        {"orvanasrv_receiver_reply_timeouts_total", "Commands the receiver did not answer in time.",
         &ReceiverTraffic::reply_timeouts},
    };
    for (const PerReceiver& f : per_receiver) {
        e.Family(f.name, "counter", f.help);
        for (const auto& [n, name] : receivers)
            e.Sample(Read(m.receivers[n].*f.counter), "receiver=\"" + LabelValue(name) + "\"");
    }

    const std::pair<const char*, TrafficCounters*> classes[] = {{"client", &m.clients},
                                                                {"ntrip", &m.ntrip}};
    e.Family("orvanasrv_sent_bytes_total", "counter",
             "Bytes sent, by class of client (request protocol, NTRIP rovers and uploads).");
    for (const auto& [label, c] : classes)
        e.Sample(Read(c->bytes_out), std::string("class=\"") + label + "\"");
    e.Family("orvanasrv_cut_offs_total", "counter",
             "Clients cut off for not taking what was sent to them, by class.");
    for (const auto& [label, c] : classes)
        e.Sample(Read(c->cut_offs), std::string("class=\"") + label + "\"");

    e.Family("orvanasrv_transfers_started_total", "counter",
             "Log-file downloads and firmware uploads started.");
    e.Sample(Read(m.downloads_started), "direction=\"download\"");
    e.Sample(Read(m.uploads_started), "direction=\"upload\"");
    e.Family("orvanasrv_transfers_ended_total", "counter", "Transfers ended, however they ended.");
    e.Sample(Read(m.transfers_ended));
    return e.Take();
}

}  // namespace orvana::admin
