#pragma once
// What the transfer tests share: random file contents and a client's view of one transfer.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/streams_harness.h"

namespace orvana::test {

inline std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(gen() & 0xFF);
    return s;
}

// What a client saw of one transfer: the data in order, the retry notices, the final text.
struct TransferRun {
    std::string data;
    std::vector<std::string> numbers;  // "IN:" messages' block numbers
    std::vector<std::string> retries;
    std::vector<std::string> progress;  // "INW:" messages
    std::string final_text;
};

// Reads frames of `type` on handle 1 until a final text (or `seconds` pass).
inline void TakeTransferFrame(const Frame& f, TransferRun* run) {
    EXPECT_EQ(f.handle, 1u);
    const std::string& d = f.data;
    if (d.rfind("IN:", 0) == 0 && d.size() >= 12) {
        EXPECT_EQ(d[11], 'F');
        EXPECT_EQ(std::stoul(d.substr(7, 4)), d.size() - 12) << d.substr(0, 12);
        run->numbers.push_back(d.substr(3, 4));
        run->data += d.substr(12);
    } else if (d.rfind("INW:", 0) == 0) {
        run->progress.push_back(d);
    } else if (d.rfind("RT:", 0) == 0) {
        run->retries.push_back(d);
    } else {
        run->final_text = d;
    }
}

// The frames of `type` the client kept while it waited for replies, then those that follow,
// until a final text (or `seconds` pass).
inline TransferRun Follow(StreamClient& c, unsigned type, int seconds = 60) {
    TransferRun run;
    for (const Frame& f : c.notices())
        if (f.type == type && run.final_text.empty()) TakeTransferFrame(f, &run);
    c.ClearNotices();
    const uint32_t start = platform::TickCount();
    while (run.final_text.empty() &&
           platform::TickCount() - start < static_cast<uint32_t>(seconds) * 1000u) {
        auto f = c.raw().ReadFrame(1);
        if (f && f->type == type) TakeTransferFrame(*f, &run);
    }
    return run;
}

}  // namespace orvana::test
