// soak_bench: the whole server for a long time under churn. Receivers are orvanasim processes on
// TCP ports and on pseudo-terminals; clients connect, log in, open a receiver, attach to its
// stream and read it, send commands in between, and then leave in one of their ways: in order
// (detach, close, log out), without a word (the connection just drops), or after stalling (not
// reading for a while, which may get them cut off). TCP receivers drop their connection now and
// then and come back. Every container a client receives is checked against the simulator's
// per-message counter (which starts again at 1 whenever the receiver's output is restarted):
// a gap is a loss, a repeat a duplicate. The server's memory, descriptors and threads are
// sampled every few seconds.
//
//   soak_bench [--minutes M] [--receivers R] [--pty P] [--clients C]
//
// Prints one table a client class and the resource samples' first, highest and last values.

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/stream_scan.h"
#include "core/config_keys.h"
#include "platform/clock.h"
#include "tests/orvanasim_harness.h"
#include "tests/server_harness.h"
#include "tests/tcp_link_harness.h"

namespace orvana::bench {
namespace {

using test::Frame;
using test::TestClient;

enum class Leave { kInOrder = 0, kVanish = 1, kStall = 2 };
const char* const kLeaveNames[] = {"in order", "vanishing", "stalling"};

struct Tally {
    uint64_t sessions = 0, containers = 0, lost = 0, duplicated = 0, restarts = 0;
    uint64_t cut_off = 0, receiver_lost = 0, refused = 0, commands = 0;
    int64_t worst_latency_us = 0;
    void Add(const Tally& o) {
        sessions += o.sessions;
        containers += o.containers;
        lost += o.lost;
        duplicated += o.duplicated;
        restarts += o.restarts;
        cut_off += o.cut_off;
        receiver_lost += o.receiver_lost;
        refused += o.refused;
        commands += o.commands;
        worst_latency_us = std::max(worst_latency_us, o.worst_latency_us);
    }
};

struct Options {
    double minutes = 10;
    int receivers = 16;
    int pty = 2;
    int clients = 64;
};

// Per message name, the last counter value seen in this session.
class SequenceCheck {
  public:
    void See(const std::string& payload, Tally* t) {
        if (payload.size() < 22) return;
        const uint64_t seq = std::strtoull(payload.substr(0, 10).c_str(), nullptr, 10);
        const size_t end = payload.find(' ', 22);
        const std::string name = payload.substr(22, end == std::string::npos ? end : end - 22);
        uint64_t& last = last_[name];
        if (seq == 1 && last != 0) {
            ++t->restarts;
        } else if (last != 0 && seq <= last) {
            ++t->duplicated;
        } else if (last != 0 && seq > last + 1) {
            t->lost += seq - last - 1;
        }
        ++t->containers;
        last = seq;
        uint64_t stream = 0;
        int64_t stamp = 0;
        if (ParsePayload(payload, &stream, &stamp))
            t->worst_latency_us = std::max(t->worst_latency_us, NowUs() - stamp);
    }

  private:
    std::map<std::string, uint64_t> last_;
};

struct Shared {
    uint16_t port = 0;
    std::vector<std::string> receivers;
    std::atomic<bool> stop{false};
    std::mutex mu;
    Tally tallies[3];
};

// Reads frames for `ms`; false when the session ended (a stream that brings nothing for three
// seconds has: its messages come ten times a second).
bool ReadFor(TestClient& c, uint32_t ms, SequenceCheck& check, Tally& t, bool* lost_receiver) {
    const uint32_t start = platform::TickCount();
    int silent = 0;
    while (platform::TickCount() - start < ms) {
        auto f = c.ReadFrame(1);
        if (!f) {
            if (++silent >= 3) return false;
            continue;
        }
        silent = 0;
        if (f->type >= 0x100 && f->type <= 0x4FF) {
            check.See(f->data, &t);
        } else if (f->type == 0xC00) {
            *lost_receiver = true;
            return true;
        }
    }
    return true;
}

void ClientLoop(Shared& shared, int id) {
    std::mt19937 random(static_cast<unsigned>(id) * 7919u + 17u);
    const std::string user = "soak" + std::to_string(id);
    while (!shared.stop) {
        const Leave leave = static_cast<Leave>(random() % 10 < 6 ? 0 : random() % 2 + 1);
        Tally t;
        t.sessions = 1;
        {
            TestClient c;
            if (!c.Connect(shared.port) ||
                c.Ask("OpenUsr " + user + " pw soak", 0, 10) != "RE:OK.") {
                ++t.refused;
            } else {
                const std::string& rcv = shared.receivers[random() % shared.receivers.size()];
                if (c.Ask("OpenRcv " + rcv, 1, 60) != "RE:OK." ||
                    c.Ask("Attach 0,RT:0.1,SI:0.2", 1, 60) != "RE:OK.") {
                    ++t.refused;
                } else {
                    SequenceCheck check;
                    bool lost = false, open = true;
                    const int rounds = 2 + static_cast<int>(random() % 6);
                    for (int i = 0; i < rounds && open && !lost && !shared.stop; ++i) {
                        open = ReadFor(c, 2000 + random() % 3000, check, t, &lost);
                        // A command between the data; its reply may come after more data.
                        if (open && !lost && c.Request("Command print,/par/rcvid", 1)) ++t.commands;
                    }
                    if (lost) ++t.receiver_lost;
                    if (open && !lost && leave == Leave::kStall) {
                        platform::SleepMs(20000);
                        if (!ReadFor(c, 3000, check, t, &lost)) ++t.cut_off;
                    }
                    if (open && !lost && leave == Leave::kInOrder) {
                        c.Ask("Detach 4", 1, 30);
                        c.Ask("CloseRcv", 1, 30);
                        c.Ask("CloseUsr", 0, 10);
                    }
                }
            }
        }  // the connection ends here, in order or not
        std::lock_guard<std::mutex> guard(shared.mu);
        shared.tallies[static_cast<int>(leave)].Add(t);
    }
}

struct Sample {
    long rss_kb = 0, descriptors = 0, threads = 0;
};

Sample Measure(int pid) {
    Sample s;
    const std::string dir = "/proc/" + std::to_string(pid);
    const std::string status = test::ReadFile(dir + "/status");
    auto field = [&](const char* name) {
        const size_t at = status.find(name);
        return at == std::string::npos
                   ? 0L
                   : std::strtol(status.c_str() + at + std::strlen(name), nullptr, 10);
    };
    s.rss_kb = field("VmRSS:");
    s.threads = field("Threads:");
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(dir + "/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++s.descriptors;
    return s;
}

bool ParseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        const double v = std::strtod(argv[i + 1], nullptr);
        if (a == "--minutes")
            o->minutes = v;
        else if (a == "--receivers")
            o->receivers = static_cast<int>(v);
        else if (a == "--pty")
            o->pty = static_cast<int>(v);
        else if (a == "--clients")
            o->clients = static_cast<int>(v);
        else
            return false;
    }
    return (argc % 2) == 1 && o->minutes > 0 && o->receivers >= 1 && o->receivers <= 64 &&
           o->pty >= 0 && o->pty <= o->receivers && o->clients >= 1 && o->clients <= 127;
}

int Run(const Options& o) {
    test::ServerProcess server;
    const std::vector<std::string> sim_args = {"--stamp", "--payload-size", "200"};
    std::vector<std::unique_ptr<test::SimReceiver>> tcp;
    std::vector<std::unique_ptr<simtest::Sim>> ptys;
    Shared shared;
    for (int i = 0; i < o.receivers; ++i) {
        const std::string name = "R" + std::to_string(i + 1);
        if (i < o.pty) {
            auto sim = std::make_unique<simtest::Sim>();
            std::vector<std::string> args = {"--ports", server.Ports(), "--com",
                                             std::to_string(i + 1)};
            args.insert(args.end(), sim_args.begin(), sim_args.end());
            if (!sim->StartPty(args)) return 1;
            server.AddReceiver(name, true, "COM " + std::to_string(i + 1));
            ptys.push_back(std::move(sim));
        } else {
            auto sim = std::make_unique<test::SimReceiver>();
            if (!sim->Start(sim_args)) return 1;
            test::AddTcpReceiver(server.store(), name, "TCP 127.0.0.1:" + std::to_string(i + 1),
                                 sim->port());
            tcp.push_back(std::move(sim));
        }
        shared.receivers.push_back(name);
    }
    for (int i = 0; i < o.clients; ++i) server.AddUser("soak" + std::to_string(i), "pw", 2);
    if (!server.Start()) return 1;
    shared.port = server.port();
    const int pid = server.process().pid();

    std::vector<Sample> samples{Measure(pid)};
    std::vector<std::thread> clients;
    for (int i = 0; i < o.clients; ++i) clients.emplace_back(ClientLoop, std::ref(shared), i);
    const uint32_t start = platform::TickCount();
    const uint32_t total_ms = static_cast<uint32_t>(o.minutes * 60000.0);
    std::mt19937 random(42);
    uint64_t receiver_drops = 0;
    uint32_t next_drop = 30000;
    while (platform::TickCount() - start < total_ms) {
        platform::SleepMs(5000);
        samples.push_back(Measure(pid));
        if (!tcp.empty() && platform::TickCount() - start >= next_drop) {
            // A receiver drops its connection and comes back on the same port.
            auto& sim = tcp[random() % tcp.size()];
            const uint16_t port = sim->port();
            sim->Stop();
            platform::SleepMs(1000);
            if (sim->Start(sim_args, port)) ++receiver_drops;
            next_drop += 30000;
        }
    }
    shared.stop = true;
    for (auto& t : clients) t.join();
    platform::SleepMs(3000);  // the server lets the last sessions go
    samples.push_back(Measure(pid));

    std::printf("soak: %.1f min, %d receivers (%d on ptys), %d clients, %llu receiver drops\n\n",
                o.minutes, o.receivers, o.pty, o.clients,
                static_cast<unsigned long long>(receiver_drops));
    std::printf(
        "| clients leaving | sessions | containers | lost | duplicated | restarts | "
        "cut off | receiver lost | refused | commands | worst latency ms |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
    Tally all;
    for (int k = 0; k < 3; ++k) {
        const Tally& t = shared.tallies[k];
        all.Add(t);
        std::printf(
            "| %s | %llu | %llu | %llu | %llu | %llu | %llu | %llu | %llu | %llu | %.1f |\n",
            kLeaveNames[k], static_cast<unsigned long long>(t.sessions),
            static_cast<unsigned long long>(t.containers), static_cast<unsigned long long>(t.lost),
            static_cast<unsigned long long>(t.duplicated),
            static_cast<unsigned long long>(t.restarts), static_cast<unsigned long long>(t.cut_off),
            static_cast<unsigned long long>(t.receiver_lost),
            static_cast<unsigned long long>(t.refused), static_cast<unsigned long long>(t.commands),
            t.worst_latency_us / 1000.0);
    }
    Sample high;
    for (const Sample& s : samples) {
        high.rss_kb = std::max(high.rss_kb, s.rss_kb);
        high.descriptors = std::max(high.descriptors, s.descriptors);
        high.threads = std::max(high.threads, s.threads);
    }
    const Sample& first = samples.front();
    const Sample& last = samples.back();
    std::printf(
        "\n| server | before the clients | highest | after the clients left |\n"
        "|---|---|---|---|\n");
    std::printf("| RSS KB | %ld | %ld | %ld |\n", first.rss_kb, high.rss_kb, last.rss_kb);
    std::printf("| descriptors | %ld | %ld | %ld |\n", first.descriptors, high.descriptors,
                last.descriptors);
    std::printf("| threads | %ld | %ld | %ld |\n", first.threads, high.threads, last.threads);
    // Growth that settles (allocator arenas, buffers grown once) shows as a flat second half;
    // a leak keeps climbing to the end.
    std::printf("\nRSS KB, highest in each tenth of the run:");
    const size_t during = samples.size() > 2 ? samples.size() - 2 : 0;
    for (size_t tenth = 0; tenth < 10 && during >= 10; ++tenth) {
        long most = 0;
        for (size_t i = 1 + tenth * during / 10; i < 1 + (tenth + 1) * during / 10; ++i)
            most = std::max(most, samples[i].rss_kb);
        std::printf(" %ld", most);
    }
    std::printf("\n");
    return all.lost == 0 && all.duplicated == 0 ? 0 : 1;
}

}  // namespace
}  // namespace orvana::bench

int main(int argc, char** argv) {
    orvana::bench::Options options;
    if (!orvana::bench::ParseOptions(argc, argv, &options)) {
        std::fprintf(stderr,
                     "usage: soak_bench [--minutes M] [--receivers 1..64] [--pty P] "
                     "[--clients 1..127]\n");
        return 2;
    }
    return orvana::bench::Run(options);
}
