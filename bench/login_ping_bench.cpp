// Load on the server binary: N concurrent clients log in and send Ping requests as fast as the
// replies come, a fixed count each; prints requests per second and the reply latency (p50, p99)
// for each N. Everything runs on loopback against a server on a temporary home.
//
//   login_ping_bench [--requests R] [--clients 1,16,127]

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/server_harness.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Result {
    double seconds = 0;
    size_t requests = 0;
    size_t failures = 0;
    std::vector<double> latencies_us;
};

// A gate the client threads wait at, so they all start sending at once.
class StartGate {
  public:
    void Open() {
        std::lock_guard<std::mutex> lock(mu_);
        open_ = true;
        cv_.notify_all();
    }
    void Wait() {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait(lock, [this] { return open_; });
    }

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool open_ = false;
};

Result Run(uint16_t port, unsigned clients, unsigned requests) {
    std::vector<std::unique_ptr<orvana::test::TestClient>> connections;
    for (unsigned i = 0; i < clients; ++i) {
        auto c = std::make_unique<orvana::test::TestClient>();
        if (!c->Connect(port)) break;
        auto reply = c->Call("OpenUsr bench pw load");
        if (!reply || reply->data != "RE:OK.") {
            std::fprintf(stderr, "login %u refused: %s\n", i, reply ? reply->data.c_str() : "-");
            break;
        }
        connections.push_back(std::move(c));
    }
    Result result;
    if (connections.size() != clients) {
        result.failures = clients;
        return result;
    }

    StartGate gate;
    std::vector<std::vector<double>> latencies(clients);
    std::atomic<size_t> failures{0};
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < clients; ++i) {
        threads.emplace_back([&, i] {
            latencies[i].reserve(requests);
            gate.Wait();
            for (unsigned r = 0; r < requests; ++r) {
                const auto sent = Clock::now();
                auto reply = connections[i]->Call("Ping");
                const auto back = Clock::now();
                if (!reply || reply->data != "RE:OK.") {
                    ++failures;
                    return;
                }
                latencies[i].push_back(
                    std::chrono::duration<double, std::micro>(back - sent).count());
            }
        });
    }
    const auto start = Clock::now();
    gate.Open();
    for (auto& t : threads) t.join();
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result.failures = failures;
    for (auto& l : latencies) {
        result.requests += l.size();
        result.latencies_us.insert(result.latencies_us.end(), l.begin(), l.end());
    }
    // Logged out and closed: the slots are free again for the next round.
    for (auto& c : connections) {
        c->Request("CloseUsr");
        c->WaitClosed(5);
    }
    return result;
}

double Percentile(std::vector<double>& v, double p) {
    if (v.empty()) return 0;
    const size_t k = static_cast<size_t>(p * static_cast<double>(v.size() - 1));
    std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
    return v[k];
}

}  // namespace

int main(int argc, char** argv) {
    unsigned requests = 2000;
    std::vector<unsigned> client_counts{1, 16, 127};
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--requests") {
            requests = static_cast<unsigned>(std::stoul(argv[i + 1]));
        } else if (a == "--clients") {
            client_counts.clear();
            for (const auto& n : orvana::test::CommaList(argv[i + 1]))
                client_counts.push_back(static_cast<unsigned>(std::stoul(n)));
        } else {
            std::fprintf(stderr, "usage: login_ping_bench [--requests R] [--clients 1,16,127]\n");
            return 2;
        }
    }
    for (unsigned n : client_counts) {
        if (n == 0 || n > 127) {
            std::fprintf(stderr, "clients must be 1 to 127 (the server's network slots)\n");
            return 2;
        }
    }

    orvana::test::ServerProcess server;
    server.AddUser("bench", "pw", 200);
    if (!server.Start()) {
        std::fprintf(stderr, "the server did not start\n");
        return 1;
    }
    std::printf("%8s %10s %12s %10s %10s\n", "clients", "requests", "requests/s", "p50 us",
                "p99 us");
    int status = 0;
    for (unsigned n : client_counts) {
        Result r = Run(server.port(), n, requests);
        if (r.failures != 0) status = 1;
        std::printf("%8u %10zu %12.0f %10.0f %10.0f%s\n", n, r.requests,
                    r.seconds > 0 ? static_cast<double>(r.requests) / r.seconds : 0.0,
                    Percentile(r.latencies_us, 0.50), Percentile(r.latencies_us, 0.99),
                    r.failures != 0 ? "  (failures)" : "");
        std::fflush(stdout);
    }
    server.Stop();
    return status;
}
