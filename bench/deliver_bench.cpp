// The deliver path in one process: containers per second through the stream parser, the
// delivery to 1, 16 and 127 attached clients, their send queues and the client writer's sends on
// loopback sockets (a thread drains them; the feed waits while a queue holds more than 1 MB, so
// this is the rate the whole path keeps up). The ceiling, BM_MemcpyCeiling, is a plain memcpy
// of the same frame bytes once per client: the least the kernel's copy into every client's
// socket costs; it leaves out parsing and checking the containers, making the frames, the
// system calls of the sends and the reads.
//
//   deliver_bench [--benchmark_filter=...]

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/stream_rig.h"

namespace {

using orvana::test::Container;
using orvana::test::StreamRig;

constexpr size_t kPayload = 100;
constexpr int kPerRead = 32;  // containers in one read of the parser (3.5 KB)
constexpr size_t kMaxQueued = 1 << 20;

std::string Chunk() {
    std::string chunk;
    for (int i = 0; i < kPerRead; ++i) chunk += Container(1, std::string(kPayload, 'p'));
    return chunk;
}

void BM_ParseAndDeliver(benchmark::State& state) {
    const auto clients = static_cast<size_t>(state.range(0));
    // The feed waits for the queues below, so the bound is never reached.
    StreamRig rig;
    for (size_t i = 0; i < clients; ++i) {
        if (!rig.AddClient("0,RT")) {
            state.SkipWithError("attach refused");
            return;
        }
    }
    rig.receiver().output_active = 1;
    std::atomic<bool> quit{false};
    std::atomic<uint64_t> drained{0};
    std::thread drain([&] {
        std::vector<char> buf(65536);
        while (!quit) {
            bool any = false;
            for (auto& c : rig.clients()) {
                const int n = c.peer->Receive(buf.data(), static_cast<int>(buf.size()), 0);
                if (n > 0) {
                    drained += static_cast<uint64_t>(n);
                    any = true;
                }
            }
            if (!any) std::this_thread::yield();
        }
    });
    const std::string chunk = Chunk();
    for (auto _ : state) {
        rig.Feed(chunk);
        for (auto& c : rig.clients()) c.session->outgoing.AwaitAtMost(kMaxQueued, 10000);
    }
    quit = true;
    drain.join();
    size_t lost = 0;
    for (auto& c : rig.clients()) lost += c.session->lost ? 1 : 0;
    if (lost != 0) state.SkipWithError("a client was cut off");
    state.SetItemsProcessed(state.iterations() * kPerRead);
    state.SetBytesProcessed(state.iterations() * kPerRead *
                            static_cast<int64_t>((kPayload + 16) * clients));
    state.counters["clients"] = static_cast<double>(clients);
}

// The ceiling: the same frame bytes copied once per client, nothing else.
void BM_MemcpyCeiling(benchmark::State& state) {
    const auto clients = static_cast<size_t>(state.range(0));
    const std::string frame(kPayload + 16, 'f');
    std::vector<char> out((kPayload + 16) * clients);
    for (auto _ : state) {
        for (int k = 0; k < kPerRead; ++k) {
            for (size_t i = 0; i < clients; ++i)
                std::memcpy(out.data() + i * (kPayload + 16), frame.data(), frame.size());
            benchmark::DoNotOptimize(out.data());
            benchmark::ClobberMemory();
        }
    }
    state.SetItemsProcessed(state.iterations() * kPerRead);
    state.SetBytesProcessed(state.iterations() * kPerRead *
                            static_cast<int64_t>((kPayload + 16) * clients));
}

BENCHMARK(BM_ParseAndDeliver)->Arg(1)->Arg(16)->Arg(127)->UseRealTime();
BENCHMARK(BM_MemcpyCeiling)->Arg(1)->Arg(16)->Arg(127);

}  // namespace

BENCHMARK_MAIN();
