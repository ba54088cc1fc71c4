#pragma once
// Counters the metrics endpoint reports, bumped where the work happens (relaxed atomics: a
// scrape needs no exact cut). Gauges (sessions, receivers open) are read off the tables.

#include <array>
#include <atomic>
#include <cstdint>

namespace orvana {

// What one receiver table entry has taken in since the server started.
struct ReceiverTraffic {
    std::atomic<uint64_t> bytes_in{0};
    std::atomic<uint64_t> containers_in{0};  // data containers with a right checksum
    std::atomic<uint64_t> bad_checksums{0};
    std::atomic<uint64_t> reply_timeouts{0};  // commands the receiver did not answer in time
};

// Bytes sent to one class of clients and how many of them were cut off for not reading.
struct TrafficCounters {
    std::atomic<uint64_t> bytes_out{0};
    std::atomic<uint64_t> cut_offs{0};
};

struct ServerMetrics {
    static constexpr unsigned kReceiverEntries = 64;
    std::array<ReceiverTraffic, kReceiverEntries + 1> receivers;  // by entry number, 1..64
    TrafficCounters clients;                                      // the request protocol
    TrafficCounters ntrip;                                        // the caster's rovers and uploads
    std::atomic<uint64_t> downloads_started{0};
    std::atomic<uint64_t> uploads_started{0};
    std::atomic<uint64_t> transfers_ended{0};
};

inline void Bump(std::atomic<uint64_t>& counter, uint64_t by = 1) {
    counter.fetch_add(by, std::memory_order_relaxed);
}

}  // namespace orvana
