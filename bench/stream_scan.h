#pragma once
// What the stream benchmark's clients measure, and the container scanner for the relays' raw
// byte streams. A relay may drop bytes (str2str skips a client that is not writable), so the
// stream can hold torn containers: a container counts only when its checksum is right, and a
// bad one is skipped a byte at a time.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "receivers/command_engine.h"

namespace orvana::bench {

// The simulator's stamps are steady-clock microseconds too (CLOCK_MONOTONIC on this machine).
inline int64_t NowUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

// The value below which a share `p` of `v` lies (reorders `v`); 0 when empty.
inline int64_t Percentile(std::vector<int64_t>& v, double p) {
    if (v.empty()) return 0;
    const size_t k = static_cast<size_t>(p * static_cast<double>(v.size() - 1));
    std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
    return v[k];
}

// The stream sequence number (payload bytes 11-20) and the send stamp (" T" + 16 digits after
// the name); false for a payload that has neither.
inline bool ParsePayload(std::string_view p, uint64_t* sequence, int64_t* stamp_us) {
    if (p.size() < 22) return false;
    uint64_t seq = 0;
    for (size_t i = 11; i < 21; ++i) {
        if (p[i] < '0' || p[i] > '9') return false;
        seq = seq * 10 + static_cast<uint64_t>(p[i] - '0');
    }
    const size_t t = p.find(" T", 22);
    if (t == std::string_view::npos || t + 18 > p.size()) return false;
    int64_t stamp = 0;
    for (size_t i = t + 2; i < t + 18; ++i) {
        if (p[i] < '0' || p[i] > '9') return false;
        stamp = stamp * 10 + (p[i] - '0');
    }
    *sequence = seq;
    *stamp_us = stamp;
    return true;
}

// The containers to count: stream sequence numbers [first, first + count). Set once the
// clients are all in place; until then nothing is counted.
struct Window {
    std::atomic<uint64_t> first{UINT64_MAX};
    uint64_t count = 0;
};

// ">>", three length digits, the index byte and two checksum digits around a payload.
inline constexpr size_t kContainerFrame = 8;

// One client's tally. Written by its own thread; read by the coordinator under `mu`.
struct ClientTally {
    std::mutex mu;
    uint64_t highest = 0;      // highest sequence seen
    uint64_t bytes_total = 0;  // everything received, window or not
    // The containers received, window or not, counted at their size as a receiver sends them
    // (a relay's frames around them are not counted): the unit of CPU per MB for every relay.
    uint64_t container_bytes_total = 0;
    uint64_t in_window = 0;  // containers of the window received
    uint64_t window_bytes = 0;
    int64_t first_stamp_us = INT64_MAX;  // earliest send time of a window container received
    int64_t last_us = 0;                 // latest receive time of one
    bool done = false;                   // saw a container past the window
    std::vector<int64_t> latencies_us;

    void Bytes(size_t n) {
        std::lock_guard<std::mutex> g(mu);
        bytes_total += n;
    }
    // A whole container (or data frame) with `payload`, received at `now_us`.
    void Container(std::string_view payload, int64_t now_us, const Window& window) {
        uint64_t seq = 0;
        int64_t stamp = 0;
        if (!ParsePayload(payload, &seq, &stamp)) return;
        const size_t wire_bytes = payload.size() + kContainerFrame;
        std::lock_guard<std::mutex> g(mu);
        container_bytes_total += wire_bytes;
        highest = std::max(highest, seq);
        const uint64_t first = window.first.load();
        if (first == UINT64_MAX || seq < first) return;
        if (seq >= first + window.count) {
            done = true;
            return;
        }
        ++in_window;
        window_bytes += wire_bytes;
        first_stamp_us = std::min(first_stamp_us, stamp);
        last_us = now_us;
        latencies_us.push_back(now_us - stamp);
    }
};

// Cuts checked containers out of a raw receiver stream.
class ContainerScanner {
  public:
    template <typename Sink>
    void Feed(const char* data, size_t n, Sink&& sink) {
        buffer_.append(data, n);
        size_t p = 0;
        while (buffer_.size() - p >= 5) {
            const char* m = buffer_.data() + p;
            if (m[0] != '>' || m[1] != '>') {
                ++p;
                continue;
            }
            const int length = HexLength(m + 2);
            if (length < 3) {
                ++p;
                continue;
            }
            const size_t size = 5 + static_cast<size_t>(length);
            if (buffer_.size() - p < size) break;
            if (ChecksumOk(m, size)) {
                // Payload: after the index byte, before the two checksum digits.
                sink(std::string_view(m + 6, size - kContainerFrame));
                p += size;
            } else {
                ++p;
            }
        }
        buffer_.erase(0, p);
        // A torn header never completes: do not let it hold the buffer for ever.
        if (buffer_.size() > kMaxBuffered) buffer_.erase(0, buffer_.size() - 5);
    }

  private:
    static constexpr size_t kMaxBuffered = 16384;

    static int Hex(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    }
    static int HexLength(const char* p) {
        int v = 0;
        for (int i = 0; i < 3; ++i) {
            const int d = Hex(p[i]);
            if (d < 0) return -1;
            v = v * 16 + d;
        }
        return v;
    }
    static bool ChecksumOk(const char* m, size_t size) {
        const int hi = Hex(m[size - 2]), lo = Hex(m[size - 1]);
        if (hi < 0 || lo < 0) return false;
        return ReceiverChecksum(m, size - 2) == static_cast<uint8_t>(hi * 16 + lo);
    }

    std::string buffer_;
};

}  // namespace orvana::bench
