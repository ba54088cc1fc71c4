// The status verb: the server's receivers and the connections that hold them, with the rate
// each sends at, redrawn every few seconds like a monitor (or printed as they come into a pipe,
// or one JSON object a refresh).

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "apps/orvanacli/status_rows.h"
#include "apps/orvanacli/verbs.h"
#include "platform/clock.h"
#include "platform/terminal.h"

namespace orvana::cli {
namespace {

constexpr uint32_t kRefreshMs = 2000;

struct Snapshot {
    std::vector<ReceiverRow> receivers;
    std::vector<ConnectionRow> connections;
    std::map<std::string, double> rates;  // ConnectionRow::Key(): bytes a second
};

std::string Rate(double bytes_per_second) {
    char text[32];
    if (bytes_per_second >= 1024.0 * 1024.0)
        std::snprintf(text, sizeof text, "%.1f MB/s", bytes_per_second / 1024.0 / 1024.0);
    else if (bytes_per_second >= 1024.0)
        std::snprintf(text, sizeof text, "%.1f KB/s", bytes_per_second / 1024.0);
    else
        std::snprintf(text, sizeof text, "%.0f B/s", bytes_per_second);
    return text;
}

// Known from the second refresh on.
std::optional<double> RateOf(const Snapshot& s, const ConnectionRow& c) {
    auto it = s.rates.find(c.Key());
    if (it == s.rates.end()) return std::nullopt;
    return it->second;
}

struct Held {
    int clients = 0;
    std::optional<double> rate;
};

std::string Plain(const Cli& cli, const Snapshot& s) {
    std::map<std::string, Held> held;  // by receiver
    for (const auto& c : s.connections) {
        Held& h = held[c.receiver];
        ++h.clients;
        if (auto rate = RateOf(s, c)) h.rate = h.rate.value_or(0.0) + *rate;
    }
    const size_t enabled = static_cast<size_t>(std::count_if(
        s.receivers.begin(), s.receivers.end(), [](const ReceiverRow& r) { return r.enabled; }));
    std::string out;
    char line[512];
    std::snprintf(line, sizeof line, "%s:%u   %s   receivers %zu enabled of %zu, %zu open\n",
                  cli.options.host.c_str(), cli.options.port, platform::TimestampNow().c_str(),
                  enabled, s.receivers.size(), held.size());
    out += line;
    std::snprintf(line, sizeof line, "\n%-16s %-9s %7s %11s\n", "RECEIVER", "STATE", "CLIENTS",
                  "OUT");
    out += line;
    for (const auto& r : s.receivers) {
        auto it = held.find(r.name);
        const char* state = it != held.end() ? "open" : r.enabled ? "enabled" : "disabled";
        const int clients = it != held.end() ? it->second.clients : 0;
        const std::string rate = it == held.end()  ? ""
                                 : it->second.rate ? Rate(*it->second.rate)
                                                   : "-";
        std::snprintf(line, sizeof line, "%-16s %-9s %7d %11s\n", r.name.c_str(), state, clients,
                      rate.c_str());
        out += line;
    }
    std::snprintf(line, sizeof line, "\n%-16s %-12s %-12s %-16s %-12s %10s %11s  %s\n", "SINCE",
                  "USER", "TASK", "ADDRESS", "RECEIVER", "SENT", "RATE", "MESSAGES");
    out += line;
    for (const auto& c : s.connections) {
        const auto rate = RateOf(s, c);
        std::snprintf(line, sizeof line, "%-16s %-12s %-12s %-16s %-12s %10llu %11s  %.120s\n",
                      c.since.c_str(), c.user.c_str(), c.task.c_str(), c.address.c_str(),
                      c.receiver.c_str(), static_cast<unsigned long long>(c.sent),
                      rate ? Rate(*rate).c_str() : "-", c.messages.c_str());
        out += line;
    }
    return out;
}

std::string Json(const Snapshot& s) {
    std::string out = "{\"kind\":\"status\",\"time\":" + std::to_string(platform::UnixTime()) +
                      ",\"receivers\":[";
    for (size_t i = 0; i < s.receivers.size(); ++i) {
        const auto& r = s.receivers[i];
        const bool open = std::any_of(s.connections.begin(), s.connections.end(),
                                      [&](const ConnectionRow& c) { return c.receiver == r.name; });
        out += (i ? "," : "") + std::string("{\"name\":") + JsonQuoted(r.name) +
               ",\"enabled\":" + (r.enabled ? "true" : "false") +
               ",\"open\":" + (open ? "true" : "false") + "}";
    }
    out += "],\"connections\":[";
    for (size_t i = 0; i < s.connections.size(); ++i) {
        const auto& c = s.connections[i];
        char rate[32] = "null";
        if (auto known = RateOf(s, c)) std::snprintf(rate, sizeof rate, "%.1f", *known);
        out += (i ? "," : "") + std::string("{\"since\":") + JsonQuoted(c.since) +
               ",\"user\":" + JsonQuoted(c.user) + ",\"task\":" + JsonQuoted(c.task) +
               ",\"address\":" + JsonQuoted(c.address) +
               ",\"interface\":" + JsonQuoted(c.interface_text) +
               ",\"receiver\":" + JsonQuoted(c.receiver) + ",\"sent\":" + std::to_string(c.sent) +
               ",\"bytes_per_s\":" + rate + ",\"messages\":" + JsonQuoted(c.messages) + "}";
    }
    return out + "]}";
}

}  // namespace

int RunStatus(Cli& cli) {
    // Rows are refused until the header has been asked for.
    auto header = Ask(cli, "Get CList");
    if (!header) return kExitFailure;
    if (!header->Succeeded()) return PrintReply(*header);
    const bool terminal = !InJson() && Reports() == stdout && platform::StdoutIsTerminal();
    const bool timed = cli.options.seconds.has_value();
    const uint32_t limit_ms = timed ? static_cast<uint32_t>(*cli.options.seconds * 1000.0) : 0;
    const uint32_t start = platform::TickCount();
    std::map<std::string, uint64_t> sent_before;
    uint32_t before_tick = 0;
    for (bool first = true;; first = false) {
        auto receivers = Ask(cli, "Get Rcv");
        auto rows = receivers ? Ask(cli, "Get CList FF") : std::nullopt;
        if (!rows) return kExitFailure;
        if (!rows->Succeeded()) return PrintReply(*rows);
        Snapshot s;
        s.receivers = ParseReceiverRows(receivers->data);
        s.connections = ParseConnectionRows(rows->data);
        const uint32_t now = platform::TickCount();
        std::map<std::string, uint64_t> sent_now;
        for (const auto& c : s.connections) {
            sent_now[c.Key()] = c.sent;
            auto it = sent_before.find(c.Key());
            if (!first && it != sent_before.end() && c.sent >= it->second && now != before_tick)
                s.rates[c.Key()] = (c.sent - it->second) * 1000.0 / (now - before_tick);
        }
        sent_before.swap(sent_now);
        before_tick = now;
        if (InJson()) {
            Report("", Json(s));
        } else {
            const std::string text = Plain(cli, s);
            std::fputs(terminal ? "\x1b[H\x1b[2J" : "\n", Reports());
            std::fputs(text.c_str(), Reports());
            std::fflush(Reports());
        }
        // Waits for the next refresh, following what the server says meanwhile.
        const uint32_t next = platform::TickCount() + kRefreshMs;
        for (;;) {
            if (Interrupted(cli)) return kExitOk;
            const uint32_t spent = platform::TickCount() - start;
            if (timed && spent >= limit_ms) return kExitOk;
            const int32_t left = static_cast<int32_t>(next - platform::TickCount());
            if (left <= 0) break;
            bool closed = false;
            auto f =
                NextEvent(cli, std::min<uint32_t>(static_cast<uint32_t>(left), kPollMs), &closed);
            if (closed) return ConnectionFailure(cli, "status");
            if (f && !f->IsData() && !f->IsReply()) PrintEvent(*f);
        }
    }
}

}  // namespace orvana::cli
