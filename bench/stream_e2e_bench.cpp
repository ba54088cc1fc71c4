// The data stream end to end, side by side with a peer. One orvanasim TCP receiver floods
// containers (each stamped with its send time) and N clients take every one of its messages:
//   orvanasrv  the server opens the receiver over TCP; each client logs in, opens it and
//              attaches to all its messages at the receiver's own period;
//   str2str    RTKLIB's relay reads the receiver (tcpcli) and serves the clients (tcpsvr, at
//              most 32 clients per output, at most 4 outputs);
//   fan-out    a plain relay that only copies bytes to every client, blocking (the ceiling).
// For a window of a fixed number of containers (by the receiver's stream sequence numbers) it
// measures the delivered bytes per second summed over the clients (over the time from the
// receiver's send of the window's first container to the last client's receive of its last
// one: a relay that delivers in bursts is not credited with its burst rate), the relay's CPU
// seconds per delivered megabyte, the latency from the receiver's send to a client's receive
// (p50, p99), and what fraction of the window's containers each client received: a relay that
// drops data for a slow client (str2str does, silently) loses those containers.
//
// The clients are set up while the receiver sends at its own periods; the flood is switched on
// (SIGUSR1) for the measurement only, so a command's reply during set-up does not queue behind
// seconds of data. Under a flood the relay that cannot keep up applies back-pressure, so its
// latency is the time the socket buffers between the receiver and the clients take to drain;
// --rate R paces the receiver at R containers per second instead, for the latency of a stream
// the relay keeps up with.
//
//   stream_e2e_bench [--containers N] [--clients 1,16,127] [--payload-size B] [--rate R]
//                    [--systems orvanasrv,str2str,fan-out]

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/process_stats.h"
#include "bench/stream_scan.h"
#include "core/request_client.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "platform/subprocess.h"
#include "tests/tcp_link_harness.h"

namespace {

using namespace orvana;
using bench::ClientTally;
using bench::CpuSeconds;
using bench::NowUs;
using bench::PeakRssKb;
using bench::Percentile;
using bench::Window;

// Every message of the simulator's default table, per group, at 1 s (the receiver's own
// period for all of them, so every container goes to every client).
constexpr const char* kAttachLists[4] = {
    "RT:1,PO:1,VE:1,PV:1,SI:1,ET:1,EL:1,AZ:1",
    "OBS:1,REF:1,DESC:1",
    "GGA:1,RMC:1,GSV:1,GSA:1,ZDA:1",
    "1004:1,1006:1,1012:1,1033:1",
};
constexpr const char* kEnableAll =
    "em,,jps/RT,jps/PO,jps/VE,jps/PV,jps/SI,jps/ET,jps/EL,jps/AZ,cmr/OBS,cmr/REF,cmr/DESC,"
    "nmea/GGA,nmea/RMC,nmea/GSV,nmea/GSA,nmea/ZDA,rtcm/1004,rtcm/1006,rtcm/1012,rtcm/1033";
constexpr unsigned kEnabledMessages = 21;  // each at 1 s
constexpr unsigned kStr2strClientsPerOutput = 32;
constexpr unsigned kStr2strOutputs = 3;   // what this build runs (see RunStr2str)
constexpr uint64_t kWindowMargin = 2000;  // containers between the clients' position and the window

// The shared receiver, flooding only while a measurement runs (unless it is paced).
struct Source {
    test::SimReceiver sim;
    bool flood = true;
    void Begin() {
        if (flood) sim.process().Signal(SIGUSR1);
    }
    void End() {
        if (flood) sim.process().Signal(SIGUSR2);
    }
    uint16_t port() const { return sim.port(); }
};

struct Outcome {
    bool ok = false;
    std::string failure;
    double seconds = 0;
    uint64_t window_bytes = 0, window_containers = 0;
    double cpu_seconds = 0;
    uint64_t interval_bytes = 0;
    std::vector<int64_t> latencies_us;
    double min_fraction = 0, mean_fraction = 0;
    unsigned complete_clients = 0;
    long peak_rss_kb = 0;  // the relay's processes, summed
};

// Reader threads stop when told.
class Readers {
  public:
    ~Readers() { Stop(); }
    void Add(std::function<void(const std::atomic<bool>&)> body) {
        threads_.emplace_back([this, body = std::move(body)] { body(stop_); });
    }
    void Stop() {
        stop_ = true;
        for (auto& t : threads_)
            if (t.joinable()) t.join();
        threads_.clear();
    }

  private:
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

// A raw client of a relay: scans the byte stream for checked containers.
void ReadRaw(platform::SocketFd fd, ClientTally& tally, const Window& window,
             const std::atomic<bool>& stop) {
    bench::ContainerScanner scanner;
    std::vector<char> buffer(65536);
    while (!stop) {
        const int ready = platform::WaitReadable(fd, 200);
        if (ready < 0) break;
        if (ready == 0) continue;
        const long n = platform::ReceiveOnce(fd, buffer.data(), buffer.size(), false);
        if (n <= 0) break;
        const int64_t now = NowUs();
        tally.Bytes(static_cast<size_t>(n));
        scanner.Feed(buffer.data(), static_cast<size_t>(n),
                     [&](std::string_view payload) { tally.Container(payload, now, window); });
    }
}

// Connects with retries: a listener with a short backlog refuses while it is full.
platform::SocketFd ConnectLocal(uint16_t port, uint32_t patience_ms) {
    platform::Ipv4Endpoint to;
    platform::ParseDotted("127.0.0.1", &to.address);
    to.port = port;
    const uint32_t start = platform::TickCount();
    for (;;) {
        platform::SocketFd fd = platform::OpenStreamSocket();
        if (fd != platform::kNoSocket && platform::Connect(fd, to, 2000)) return fd;
        if (fd != platform::kNoSocket) platform::CloseSocket(fd);
        if (platform::TickCount() - start > patience_ms) return platform::kNoSocket;
        platform::SleepMs(20);
    }
}

// Waits for the clients to be in the stream, opens the window past them, and waits until every
// client has seen a container after it (or gives up).
// The first `stalled` clients are left out of the figures (they stop reading on purpose).
Outcome Measure(Source& source, const std::vector<pid_t>& relay,
                std::vector<std::unique_ptr<ClientTally>>& tallies, Window& window,
                uint64_t containers, size_t stalled = 0) {
    Outcome o;
    source.Begin();
    struct EndFlood {
        Source& s;
        ~EndFlood() { s.End(); }
    } end_flood{source};
    const std::vector<ClientTally*> counted = [&] {
        std::vector<ClientTally*> v;
        for (size_t i = stalled; i < tallies.size(); ++i) v.push_back(tallies[i].get());
        return v;
    }();
    auto all = [&](auto&& pred) {
        for (ClientTally* t : counted) {
            std::lock_guard<std::mutex> g(t->mu);
            if (!pred(*t)) return false;
        }
        return true;
    };
    uint32_t start = platform::TickCount();
    while (!all([](ClientTally& t) { return t.highest > 0; })) {
        if (platform::TickCount() - start > 30000) {
            o.failure = "no containers reached every client";
            return o;
        }
        platform::SleepMs(20);
    }
    uint64_t highest = 0;
    uint64_t bytes0 = 0;
    for (ClientTally* t : counted) {
        std::lock_guard<std::mutex> g(t->mu);
        highest = std::max(highest, t->highest);
        bytes0 += t->container_bytes_total;
    }
    const double cpu0 = CpuSeconds(relay);
    window.count = containers;
    window.first = highest + kWindowMargin;

    // Generous: a relay that loses a client entirely must not hang the run.
    const uint32_t limit_ms =
        60000 + static_cast<uint32_t>(containers / 10) * static_cast<uint32_t>(counted.size());
    start = platform::TickCount();
    while (!all([](ClientTally& t) { return t.done; })) {
        if (platform::TickCount() - start > limit_ms) {
            o.failure = "some clients stopped receiving";
            break;
        }
        platform::SleepMs(20);
    }
    o.cpu_seconds = CpuSeconds(relay) - cpu0;
    for (pid_t p : relay) o.peak_rss_kb += PeakRssKb(p);

    int64_t first = INT64_MAX, last = 0;
    double fraction_sum = 0;
    o.min_fraction = 1;
    uint64_t bytes1 = 0;
    for (ClientTally* t : counted) {
        std::lock_guard<std::mutex> g(t->mu);
        bytes1 += t->container_bytes_total;
        o.window_bytes += t->window_bytes;
        o.window_containers += t->in_window;
        if (t->in_window > 0) {
            first = std::min(first, t->first_stamp_us);
            last = std::max(last, t->last_us);
        }
        const double f = static_cast<double>(t->in_window) / static_cast<double>(containers);
        fraction_sum += f;
        o.min_fraction = std::min(o.min_fraction, f);
        if (t->in_window == containers) ++o.complete_clients;
        o.latencies_us.insert(o.latencies_us.end(), t->latencies_us.begin(), t->latencies_us.end());
    }
    o.interval_bytes = bytes1 - bytes0;
    o.mean_fraction = fraction_sum / static_cast<double>(counted.size());
    o.seconds = last > first ? static_cast<double>(last - first) / 1e6 : 0;
    o.ok = o.failure.empty();
    return o;
}

std::vector<std::unique_ptr<ClientTally>> Tallies(unsigned n) {
    std::vector<std::unique_ptr<ClientTally>> v;
    for (unsigned i = 0; i < n; ++i) v.push_back(std::make_unique<ClientTally>());
    return v;
}

// A client of the server on a plain socket, reading with a 64 KB buffer like the raw clients of
// the other relays: its set-up requests, then the frames cut out of its reads.
class PlainClient {
  public:
    ~PlainClient() {
        if (fd_ != platform::kNoSocket) platform::CloseSocket(fd_);
    }
    bool Connect(uint16_t port) {
        fd_ = ConnectLocal(port, 10000);
        return fd_ != platform::kNoSocket;
    }
    // Sends a request and waits for its reply, passing data frames (and counting them, once
    // the client has a tally) on the way.
    std::optional<ServerFrame> Call(const std::string& text, uint8_t handle, uint32_t ms) {
        const std::string frame = BuildRequestFrame(text, handle);
        if (platform::SendAll(fd_, frame.data(), frame.size(), ms) < 0) return std::nullopt;
        const uint32_t start = platform::TickCount();
        while (platform::TickCount() - start < ms) {
            ServerFrame f;
            if (!Next(&f, 200)) {
                if (closed_) return std::nullopt;
                continue;
            }
            if (f.IsReply()) return f;
        }
        return std::nullopt;
    }
    // The next frame within `ms`; false on a time-out or a closed or corrupt stream.
    bool Next(ServerFrame* f, uint32_t ms) {
        for (;;) {
            switch (reader_.Next(f)) {
                case ServerFrameReader::Result::kFrame:
                    if (f->IsData() && tally_ != nullptr)
                        tally_->Container(f->data, NowUs(), *window_);
                    return true;
                case ServerFrameReader::Result::kCorrupt:
                    closed_ = true;
                    return false;
                case ServerFrameReader::Result::kNeedMore:
                    break;
            }
            const int ready = platform::WaitReadable(fd_, ms);
            if (ready == 0) return false;
            const long n =
                ready < 0 ? -1 : platform::ReceiveOnce(fd_, buffer_.data(), buffer_.size(), false);
            if (n <= 0) {
                closed_ = true;
                return false;
            }
            if (tally_ != nullptr) tally_->Bytes(static_cast<size_t>(n));
            reader_.Append(buffer_.data(), static_cast<size_t>(n));
        }
    }
    void Count(ClientTally* tally, const Window* window) {
        tally_ = tally;
        window_ = window;
    }
    bool closed() const { return closed_; }

  private:
    platform::SocketFd fd_ = platform::kNoSocket;
    ServerFrameReader reader_;
    std::vector<char> buffer_ = std::vector<char>(65536);
    ClientTally* tally_ = nullptr;
    const Window* window_ = nullptr;
    bool closed_ = false;
};

// Logs in, opens the receiver and attaches every message; empty, or what failed.
std::string SetUp(PlainClient& c, uint16_t port) {
    if (!c.Connect(port)) return "connect";
    auto f = c.Call("OpenUsr bench pw e2e", 0, 10000);
    if (!f || !f->Succeeded() || f->code == 0) return "login " + (f ? f->data : "");
    f = c.Call("OpenRcv sim", 1, 60000);
    if (!f || !f->Succeeded()) return "OpenRcv " + (f ? f->data : "");
    for (int g = 0; g < 4; ++g) {
        f = c.Call("Attach " + std::to_string(g) + "," + kAttachLists[g], 1, 60000);
        if (!f || !f->Succeeded()) return "Attach " + (f ? f->data : "");
    }
    return {};
}

// When a run fails, the server's own account of it.
void PrintServerErrors(const test::ServerProcess& server) {
    std::istringstream log(server.LogText());
    for (std::string line; std::getline(log, line);)
        if (line.find("ER:") != std::string::npos) std::fprintf(stderr, "%s\n", line.c_str());
}

// How the clients of the server run.
struct ServerRun {
    // Client 0 stops reading for this long once the window has begun (0: it reads throughout).
    uint32_t stall_ms = 0;
    // The clients attach one after another while the receiver floods; the time it took.
    bool attach_while_flooding = false;
    double attach_seconds = 0, slowest_attach_ms = 0;
    bool stalled_client_cut_off = false;
};

Outcome RunServer(Source& sim, unsigned clients, uint64_t containers, ServerRun& run) {
    Outcome o;
    test::ServerProcess server;
    server.AddUser("bench", "pw", 128);
    test::AddTcpReceiver(server.store(), "sim", "TCP 127.0.0.1", sim.port());
    if (!server.Start({"ORVANA_SHUTDOWN_PAUSE_MS=200"})) {
        o.failure = "the server did not start";
        return o;
    }
    auto tallies = Tallies(clients);
    Window window;
    std::vector<std::unique_ptr<PlainClient>> connections;
    Readers readers;
    if (run.attach_while_flooding) sim.Begin();
    const int64_t attach_start = NowUs();
    for (unsigned i = 0; i < clients; ++i) {
        auto c = std::make_unique<PlainClient>();
        c->Count(tallies[i].get(), &window);
        const int64_t one_start = NowUs();
        if (std::string failure = SetUp(*c, server.port()); !failure.empty()) {
            o.failure = "client " + std::to_string(i) + ": " + failure;
            PrintServerErrors(server);
            if (run.attach_while_flooding) sim.End();
            return o;
        }
        run.slowest_attach_ms =
            std::max(run.slowest_attach_ms, static_cast<double>(NowUs() - one_start) / 1000.0);
        // From here on only its reader uses the connection.
        PlainClient* client = c.get();
        const uint32_t stall_ms = i == 0 ? run.stall_ms : 0;
        readers.Add([client, stall_ms, &window](const std::atomic<bool>& stop) {
            bool stalled = stall_ms == 0;
            ServerFrame f;
            while (!stop && !client->closed()) {
                if (!stalled && window.first.load() != UINT64_MAX) {
                    stalled = true;
                    for (uint32_t t = 0; t < stall_ms && !stop; t += 50) platform::SleepMs(50);
                }
                client->Next(&f, 200);
            }
        });
        connections.push_back(std::move(c));
    }
    run.attach_seconds = static_cast<double>(NowUs() - attach_start) / 1e6;
    // The flood goes on into the measurement: switched off and on at once, both signals could
    // be pending together, and the simulator takes them in number order (on, then off).
    o = Measure(sim, {server.process().pid()}, tallies, window, containers,
                run.stall_ms > 0 ? 1 : 0);
    if (run.stall_ms > 0) run.stalled_client_cut_off = connections[0]->closed();
    if (!o.ok) PrintServerErrors(server);
    readers.Stop();
    connections.clear();
    server.Stop();
    return o;
}

// Raw clients of a relay, client i on ports[i] (connected `pause_ms` apart), measured.
Outcome MeasureRawClients(Source& sim, const std::vector<pid_t>& relay,
                          const std::vector<uint16_t>& ports, uint32_t pause_ms,
                          uint64_t containers) {
    auto tallies = Tallies(static_cast<unsigned>(ports.size()));
    Window window;
    std::vector<platform::SocketFd> fds;
    Readers readers;
    Outcome o;
    for (size_t i = 0; i < ports.size(); ++i) {
        platform::SocketFd fd = ConnectLocal(ports[i], 10000);
        if (fd == platform::kNoSocket) {
            o.failure = "client " + std::to_string(i) + " could not connect";
            break;
        }
        fds.push_back(fd);
        ClientTally* tally = tallies[i].get();
        readers.Add([fd, tally, &window](const std::atomic<bool>& stop) {
            ReadRaw(fd, *tally, window, stop);
        });
        if (pause_ms > 0) platform::SleepMs(pause_ms);
    }
    if (o.failure.empty()) o = Measure(sim, relay, tallies, window, containers);
    readers.Stop();
    for (auto fd : fds) platform::CloseSocket(fd);
    return o;
}

// One str2str process: `input` to tcpsvr outputs on `ports`.
bool StartStr2str(platform::Subprocess& relay, const std::string& input,
                  const std::vector<uint16_t>& ports, const std::string& commands,
                  const test::TempDir& dir, std::string* error) {
    std::vector<std::string> argv = {"/usr/bin/str2str", "-in", input};
    for (uint16_t port : ports) {
        argv.push_back("-out");
        argv.push_back("tcpsvr://:" + std::to_string(port));
    }
    if (!commands.empty()) {
        argv.push_back("-c");
        argv.push_back(commands);
    }
    for (const char* a : {"-s", "0", "-r", "1000", "-d", "1000", "-t", "0"}) argv.push_back(a);
    argv.push_back("-fl");
    argv.push_back(dir.File("str2str" + std::to_string(ports.front()) + ".trace"));
    return relay.Start(argv, error);
}

Outcome RunStr2str(Source& sim, unsigned clients, uint64_t containers) {
    Outcome o;
    test::TempDir dir;
    // str2str sends the input's command file on connecting: the receiver's output list.
    const std::string commands = dir.File("enable.cmd");
    test::WriteFile(commands, std::string(kEnableAll) + "\n");
    const unsigned outputs = (clients + kStr2strClientsPerOutput - 1) / kStr2strClientsPerOutput;
    // Each output serves 32 clients. This build of str2str starts no outputs at all when given
    // four, so for more than 96 clients a second str2str takes the fourth 32 from one of the
    // first's outputs (that output then serves 31 clients and the second relay).
    std::vector<uint16_t> first_ports, second_ports;
    for (unsigned k = 0; k < std::min(outputs, kStr2strOutputs); ++k)
        first_ports.push_back(test::FreePort());
    if (outputs > kStr2strOutputs) second_ports.push_back(test::FreePort());
    std::vector<uint16_t> client_ports;
    for (unsigned i = 0; i < clients; ++i) {
        const unsigned k = i / kStr2strClientsPerOutput;
        client_ports.push_back(k < first_ports.size() ? first_ports[k] : second_ports[0]);
    }
    platform::Subprocess relay, second;
    std::string error;
    if (!StartStr2str(relay, "tcpcli://127.0.0.1:" + std::to_string(sim.port()), first_ports,
                      commands, dir, &error)) {
        o.failure = "str2str: " + error;
        return o;
    }
    std::vector<pid_t> pids = {relay.pid()};
    if (!second_ports.empty()) {
        if (!StartStr2str(second, "tcpcli://127.0.0.1:" + std::to_string(first_ports.back()),
                          second_ports, "", dir, &error)) {
            o.failure = "str2str: " + error;
            return o;
        }
        pids.push_back(second.pid());
        // Its input is a client of the first's last output: one place fewer there.
        for (unsigned i = kStr2strOutputs * kStr2strClientsPerOutput - 1; i < clients; ++i)
            client_ports[i] = second_ports[0];
    }
    // Its listen backlog is 5: one connect at a time, each given a moment to be accepted.
    o = MeasureRawClients(sim, pids, client_ports, 5, containers);
    for (platform::Subprocess* p : {&second, &relay}) {
        if (p->pid() <= 0) continue;
        p->Signal(2);
        p->Wait(5000);
    }
    return o;
}

Outcome RunFanOut(Source& sim, unsigned clients, uint64_t containers) {
    Outcome o;
    platform::Subprocess relay;
    std::string error;
    if (!relay.Start({test::ProgramPath("stream_e2e_bench"), "--fan-out",
                      std::to_string(sim.port()), std::to_string(clients)},
                     &error)) {
        o.failure = "fan-out: " + error;
        return o;
    }
    auto line = relay.WaitForLine("Listening on ", 10000);
    if (!line) {
        o.failure = "fan-out did not listen";
        return o;
    }
    const uint16_t port = static_cast<uint16_t>(std::stoul(line->substr(line->rfind(':') + 1)));
    o = MeasureRawClients(sim, {relay.pid()}, std::vector<uint16_t>(clients, port), 0, containers);
    relay.Signal(15);
    relay.Wait(5000);
    return o;
}

// The ceiling: accepts `clients`, asks the receiver for everything, and copies each read to
// every client in turn, waiting for each (nothing is ever dropped).
int FanOutMain(uint16_t source_port, unsigned clients) {
    platform::SocketFd listener = platform::OpenStreamSocket();
    platform::Ipv4Endpoint at;
    platform::ParseDotted("127.0.0.1", &at.address);
    if (!platform::Bind(listener, at) || !platform::Listen(listener, 128)) return 1;
    platform::Ipv4Endpoint bound;
    platform::LocalEndpoint(listener, &bound);
    std::printf("Listening on 127.0.0.1:%u\n", bound.port);
    std::fflush(stdout);
    std::vector<platform::SocketFd> out;
    while (out.size() < clients) {
        if (platform::WaitReadable(listener, 30000) <= 0) return 1;
        platform::Ipv4Endpoint peer;
        platform::SocketFd c = platform::Accept(listener, &peer);
        if (c != platform::kNoSocket) out.push_back(c);
    }
    platform::SocketFd source = ConnectLocal(source_port, 5000);
    if (source == platform::kNoSocket) return 1;
    const std::string enable = std::string(kEnableAll) + "\r\n";
    platform::SendAll(source, enable.data(), enable.size(), 5000);
    std::vector<char> buffer(65536);
    for (;;) {
        if (platform::WaitReadable(source, 30000) <= 0) return 0;
        const long n = platform::ReceiveOnce(source, buffer.data(), buffer.size(), false);
        if (n <= 0) return 0;
        for (platform::SocketFd c : out)
            platform::SendAll(c, buffer.data(), static_cast<size_t>(n), 30000);
    }
}

struct Row {
    std::string system;
    Outcome o;
    double mb_s = 0, containers_s = 0, cpu_per_mb = 0, p50_ms = 0, p99_ms = 0;
};

Row Summarise(const std::string& system, Outcome o) {
    Row r;
    r.system = system;
    if (o.seconds > 0) {
        r.mb_s = static_cast<double>(o.window_bytes) / 1e6 / o.seconds;
        r.containers_s = static_cast<double>(o.window_containers) / o.seconds;
    }
    if (o.interval_bytes > 0)
        r.cpu_per_mb = o.cpu_seconds / (static_cast<double>(o.interval_bytes) / 1e6);
    r.p50_ms = static_cast<double>(Percentile(o.latencies_us, 0.50)) / 1000.0;
    r.p99_ms = static_cast<double>(Percentile(o.latencies_us, 0.99)) / 1000.0;
    r.o = std::move(o);
    return r;
}

void PrintRow(unsigned clients, const Row& r, const std::string& note = {}) {
    std::printf("%7u  %-9s %9.2f %12.0f %10.4f %9.1f %9.1f %8.4f %8.4f %5u/%-3u %7ld %s\n", clients,
                r.system.c_str(), r.mb_s, r.containers_s, r.cpu_per_mb, r.p50_ms, r.p99_ms,
                r.o.min_fraction, r.o.mean_fraction, r.o.complete_clients, clients,
                r.o.peak_rss_kb / 1024, r.o.ok ? note.c_str() : ("(" + r.o.failure + ")").c_str());
}

double Ratio(double a, double b) {
    return b > 0 ? a / b : NAN;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--fan-out")
        return FanOutMain(static_cast<uint16_t>(std::stoul(argv[2])),
                          static_cast<unsigned>(std::stoul(argv[3])));
    uint64_t containers = 50000;
    std::vector<unsigned> client_counts{1, 16, 127};
    std::string payload_size = "100";
    double rate = 0;
    std::vector<std::string> systems{"orvanasrv", "str2str", "fan-out"};
    uint32_t stall_seconds = 10;
    bool attach_row = true;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--containers") {
            containers = std::stoull(argv[i + 1]);
        } else if (a == "--clients") {
            client_counts.clear();
            for (const auto& n : test::CommaList(argv[i + 1]))
                client_counts.push_back(static_cast<unsigned>(std::stoul(n)));
        } else if (a == "--payload-size") {
            payload_size = argv[i + 1];
        } else if (a == "--rate") {
            rate = std::stod(argv[i + 1]);
        } else if (a == "--systems") {
            systems = test::CommaList(argv[i + 1]);
        } else if (a == "--stall-seconds") {
            stall_seconds = static_cast<uint32_t>(std::stoul(argv[i + 1]));
        } else if (a == "--attach-row") {
            attach_row = std::string(argv[i + 1]) != "0";
        } else {
            std::fprintf(stderr,
                         "usage: stream_e2e_bench [--containers N] [--clients 1,16,127] "
                         "[--payload-size B] [--rate R] [--systems orvanasrv,str2str,fan-out] "
                         "[--stall-seconds S] [--attach-row 0|1]\n");
            return 2;
        }
    }
    for (unsigned n : client_counts) {
        if (n == 0 || n > 127) {
            std::fprintf(stderr, "clients must be 1 to 127 (the server's network slots)\n");
            return 2;
        }
    }
    Source sim;
    std::vector<std::string> sim_args = {"--stamp", "--payload-size", payload_size};
    if (rate > 0) {
        sim.flood = false;
        sim_args.push_back("--time-scale");
        sim_args.push_back(std::to_string(rate / kEnabledMessages));
    }
    if (!sim.sim.Start(sim_args)) {
        std::fprintf(stderr, "orvanasim did not start\n");
        return 1;
    }
    std::printf("containers per window: %llu, payload %s bytes, loopback, receiver %s\n",
                static_cast<unsigned long long>(containers), payload_size.c_str(),
                rate > 0
                    ? ("at " + std::to_string(static_cast<long>(rate)) + " containers/s").c_str()
                    : "flooding");
    std::printf("(MB are container bytes as the receiver sends them, for every relay)\n");
    std::printf("%7s  %-9s %9s %12s %10s %9s %9s %8s %8s %9s %7s\n", "clients", "system", "MB/s",
                "containers/s", "CPU s/MB", "p50 ms", "p99 ms", "min rcvd", "mean", "complete",
                "RSS MB");
    int status = 0;
    for (unsigned n : client_counts) {
        std::vector<Row> rows;
        for (const auto& system : systems) {
            Outcome o;
            ServerRun run;
            if (system == "orvanasrv")
                o = RunServer(sim, n, containers, run);
            else if (system == "str2str")
                o = RunStr2str(sim, n, containers);
            else if (system == "fan-out")
                o = RunFanOut(sim, n, containers);
            else
                continue;
            if (!o.ok) status = 1;
            rows.push_back(Summarise(system, std::move(o)));
            PrintRow(n, rows.back());
            std::fflush(stdout);
        }
        const Row* ours = nullptr;
        for (const auto& r : rows)
            if (r.system == "orvanasrv") ours = &r;
        if (ours == nullptr) continue;
        for (const auto& r : rows) {
            if (&r == ours) continue;
            std::printf(
                "%7u  orvanasrv/%-8s containers/s x%.2f  CPU/MB x%.2f  p50 x%.2f  p99 x%.2f  "
                "min rcvd x%.3f\n",
                n, r.system.c_str(), Ratio(ours->containers_s, r.containers_s),
                Ratio(ours->cpu_per_mb, r.cpu_per_mb), Ratio(ours->p50_ms, r.p50_ms),
                Ratio(ours->p99_ms, r.p99_ms), Ratio(ours->o.min_fraction, r.o.min_fraction));
        }
        std::fflush(stdout);
        if (n != client_counts.back()) continue;
        if (stall_seconds > 0 && n > 1) {
            // Long enough that the stall falls inside the window, at the rate just measured.
            const double per_client = ours->containers_s / n;
            const uint64_t window = std::max<uint64_t>(
                containers, static_cast<uint64_t>(per_client * (stall_seconds + 3)));
            ServerRun run;
            run.stall_ms = stall_seconds * 1000;
            Row stalled = Summarise("stall", RunServer(sim, n, window, run));
            if (!stalled.o.ok) status = 1;
            PrintRow(n - 1, stalled,
                     "(the others, while one stops reading for " + std::to_string(stall_seconds) +
                         " s; it was " + (run.stalled_client_cut_off ? "cut off)" : "kept)"));
            std::printf("%7u  stall/orvanasrv containers/s x%.2f  p99 x%.2f  min rcvd x%.3f\n", n,
                        Ratio(stalled.containers_s, ours->containers_s * (n - 1) / n),
                        Ratio(stalled.p99_ms, ours->p99_ms),
                        Ratio(stalled.o.min_fraction, ours->o.min_fraction));
        }
        if (attach_row) {
            ServerRun run;
            run.attach_while_flooding = true;
            Outcome o = RunServer(sim, n, containers, run);
            if (!o.ok) status = 1;
            std::printf(
                "%7u  orvanasrv attach one after another to a %s receiver: %.2f s in "
                "all, the slowest %.0f ms%s\n",
                n, sim.flood ? "flooding" : "paced", run.attach_seconds, run.slowest_attach_ms,
                o.ok ? "" : (" (" + o.failure + ")").c_str());
        }
        std::fflush(stdout);
    }
    return status;
}
