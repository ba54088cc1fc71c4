// The NTRIP caster under many rovers, side by side with RTKLIB's str2str caster in the same run.
// One orvanasim receiver sends five messages (numbered 200-byte payloads stamped with their
// send time) at R Hz each; the server's mountpoint BASE serves them, and str2str takes BASE as
// a rover of the server and serves it again from its own caster (ntripc), so both casters carry
// the same stream at once. N rovers take each caster's stream. Over a window of the receiver's
// sequence numbers it measures, per caster: the fraction of the window's messages the rovers
// received, the caster's CPU seconds per delivered megabyte, and the latency from the
// receiver's send to a rover's receive (p50, p99; str2str's includes its hop through the
// server, one rover more there).
//
// Rate 0 is the receiver's full rate: it floods for the window.
//
//   ntrip_bench [--rovers 1,100,1000] [--rates 1,20,0] [--seconds S]

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/process_stats.h"
#include "bench/stream_scan.h"
#include "platform/clock.h"
#include "platform/limits.h"
#include "platform/net.h"
#include "platform/poller.h"
#include "platform/subprocess.h"
#include "tests/ntrip_harness.h"
#include "tests/support/test_env.h"

namespace {

using namespace orvana;

constexpr size_t kRecord = 200;  // the payload size the simulator pads to

struct Rover {
    platform::SocketFd fd = platform::kNoSocket;
    int caster = 0;       // 0 the server, 1 str2str
    std::string request;  // sent once connected
    std::string pending;
    bool requested = false;
    bool streaming = false;
    bool closed = false;
};

struct Tally {
    uint64_t in_window = 0, bytes = 0;
    std::vector<int64_t> latencies_us;
    unsigned rovers_open = 0;
};

// Every rover's socket, read by one thread.
class Rovers {
  public:
    ~Rovers() {
        for (Rover& r : rovers_) platform::CloseSocket(r.fd);
    }
    // Starts connecting; all connect at once, so a caster that takes few cannot hold up the
    // rest.
    bool Add(uint16_t port, int caster, const std::string& mount) {
        Rover r;
        r.fd = platform::OpenStreamSocket();
        r.caster = caster;
        r.request = test::GetRequest(mount, "bench:pw", false);
        if (r.fd == platform::kNoSocket || !platform::ConnectStart(r.fd, {0x7F000001, port})) {
            platform::CloseSocket(r.fd);
            return false;
        }
        const size_t key = rovers_.size();
        poller_.Watch(r.fd, key);
        poller_.ArmReadable(r.fd, key, true);
        rovers_.push_back(std::move(r));
        return true;
    }
    // Reads for `ms`, counting the records of the window [first, first + count).
    void Read(uint32_t ms, uint64_t first, uint64_t count, Tally tally[2], uint64_t* newest) {
        const uint32_t start = platform::TickCount();
        uint64_t keys[64];
        char buffer[65536];
        while (platform::TickCount() - start < ms) {
            const int n = poller_.Wait(50, keys, 64);
            for (int k = 0; k < n; ++k) {
                Rover& r = rovers_[keys[k]];
                if (!r.requested) {
                    r.requested = true;
                    if (platform::ConnectResult(r.fd) != 0 ||
                        platform::SendAll(r.fd, r.request.data(), r.request.size(), 1000) !=
                            static_cast<long>(r.request.size()))
                        r.closed = true;
                }
                for (;;) {
                    if (r.closed) break;
                    const long got = platform::ReceiveNow(r.fd, buffer, sizeof buffer);
                    if (got == platform::kNothingYet) break;
                    if (got <= 0) {
                        r.closed = true;
                        break;
                    }
                    Take(r, std::string_view(buffer, static_cast<size_t>(got)), first, count,
                         tally[r.caster], newest);
                }
                if (!r.closed) poller_.ArmReadable(r.fd, keys[k], false);
            }
        }
    }
    unsigned Open(int caster) const {
        unsigned n = 0;
        for (const Rover& r : rovers_) n += r.caster == caster && r.streaming && !r.closed;
        return n;
    }

  private:
    static void Take(Rover& r, std::string_view bytes, uint64_t first, uint64_t count, Tally& t,
                     uint64_t* newest) {
        const int64_t now = bench::NowUs();
        r.pending.append(bytes);
        if (!r.streaming) {
            const size_t end = r.pending.find("\r\n");
            if (end == std::string::npos) return;
            r.streaming = r.pending.compare(0, 10, "ICY 200 OK") == 0;
            r.pending.erase(0, end + 2);
        }
        size_t at = 0;
        for (; at + kRecord <= r.pending.size(); at += kRecord) {
            uint64_t sequence = 0;
            int64_t stamp = 0;
            if (!bench::ParsePayload(std::string_view(r.pending).substr(at, kRecord), &sequence,
                                     &stamp))
                continue;
            if (sequence > *newest) *newest = sequence;
            if (sequence < first || sequence >= first + count) continue;
            ++t.in_window;
            t.bytes += kRecord;
            t.latencies_us.push_back(now - stamp);
        }
        r.pending.erase(0, at);
    }

    platform::Poller poller_;
    std::vector<Rover> rovers_;
};

bool RunCase(unsigned rate, unsigned rovers, unsigned seconds) {
    test::ServerProcess server;
    server.AddUser("bench", "pw", 8);
    test::SimReceiver sim;
    // Rate 0: the receiver floods, switched on for the window only.
    if (!sim.Start({"--stamp", "--payload-size", std::to_string(kRecord), "--time-scale",
                    std::to_string(rate == 0 ? 1 : rate)})) {
        std::fprintf(stderr, "orvanasim did not start\n");
        return false;
    }
    test::AddTcpReceiver(server.store(), "sim", "TCP 127.0.0.1", sim.port());
    test::EnableCaster(server.store());
    test::AddMountpoint(server.store(), "BASE", "sim", "3,1005:1,1074:1,1084:1,1094:1,1124:1");
    if (!server.Start()) return false;
    const uint16_t caster = test::CasterPort(server);
    const uint16_t peer_port = test::FreePort();
    platform::Subprocess peer;
    std::string error;
    if (!peer.Start({"/usr/bin/str2str", "-in",
                     "ntrip://bench:pw@127.0.0.1:" + std::to_string(caster) + "/BASE", "-out",
                     "ntripc://:" + std::to_string(peer_port) + "/BENCH"},
                    &error)) {
        std::fprintf(stderr, "str2str: %s\n", error.c_str());
        return false;
    }
    platform::SleepMs(1000);
    Rovers all;
    unsigned refused[2] = {0, 0};
    for (unsigned i = 0; i < rovers; ++i) {
        if (!all.Add(caster, 0, "BASE")) ++refused[0];
        if (!all.Add(peer_port, 1, "BENCH")) ++refused[1];
    }
    Tally warm[2];
    uint64_t newest = 0;
    all.Read(2000, UINT64_MAX, 0, warm, &newest);
    // The window: what the receiver sends in the next `seconds`, by its sequence numbers, and
    // then three seconds more for what is still on its way.
    const uint64_t first = newest + 1;
    const double cpu0[2] = {bench::CpuSeconds(server.process().pid()),
                            bench::CpuSeconds(peer.pid())};
    if (rate == 0) sim.process().Signal(SIGUSR1);
    Tally t[2];
    all.Read(seconds * 1000, first, UINT64_MAX - first, t, &newest);
    if (rate == 0) sim.process().Signal(SIGUSR2);
    const uint64_t count = newest + 1 - first;
    all.Read(3000, first, count, t, &newest);
    const double cpu[2] = {bench::CpuSeconds(server.process().pid()) - cpu0[0],
                           bench::CpuSeconds(peer.pid()) - cpu0[1]};
    for (int c = 0; c < 2; ++c) {
        const double mb = static_cast<double>(t[c].bytes) / 1e6;
        const double delivered =
            static_cast<double>(t[c].in_window) / static_cast<double>(count * rovers);
        const std::string pace = rate == 0 ? "flood" : std::to_string(rate) + " Hz";
        std::printf(
            "%-9s %6s %5u rovers  streaming %5u  refused %4u  delivered %6.4f  %8.2f MB  "
            "CPU %6.3f s/MB  p50 %8.2f ms  p99 %8.2f ms  RSS %ld KB\n",
            c == 0 ? "orvanasrv" : "str2str", pace.c_str(), rovers, all.Open(c), refused[c],
            delivered, mb, mb > 0 ? cpu[c] / mb : 0.0,
            static_cast<double>(bench::Percentile(t[c].latencies_us, 0.50)) / 1000.0,
            static_cast<double>(bench::Percentile(t[c].latencies_us, 0.99)) / 1000.0,
            bench::PeakRssKb(c == 0 ? server.process().pid() : peer.pid()));
    }
    std::fflush(stdout);
    peer.Signal(15);
    peer.Wait(5000);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<unsigned> rovers = {1, 100, 1000}, rates = {1, 20, 0};
    unsigned seconds = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        std::vector<unsigned>* list = a == "--rovers" ? &rovers : a == "--rates" ? &rates : nullptr;
        if (list != nullptr) {
            list->clear();
            for (const auto& n : test::CommaList(argv[i + 1]))
                list->push_back(static_cast<unsigned>(std::stoul(n)));
        } else if (a == "--seconds") {
            seconds = static_cast<unsigned>(std::stoul(argv[i + 1]));
        } else {
            std::fprintf(stderr,
                         "usage: ntrip_bench [--rovers 1,100,1000] [--rates 1,20,0] "
                         "[--seconds S]\n");
            return 2;
        }
    }
    std::printf("open files: %zu; five 200-byte messages at each rate (0: flood), window %u s\n",
                platform::RaiseOpenFileLimit(), seconds);
    for (unsigned rate : rates)
        for (unsigned n : rovers)
            if (!RunCase(rate, n, seconds)) return 1;
    return 0;
}
