#pragma once
// What the load tools read of a process from /proc: its CPU time and its peak memory.

#include <sys/types.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/test_env.h"

namespace orvana::bench {

// utime + stime of a process, from /proc (clock ticks of 1/100 s).
inline double CpuSeconds(pid_t pid) {
    const std::string text = test::ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t paren = text.rfind(')');
    if (paren == std::string::npos) return 0;
    std::vector<std::string> fields;
    size_t at = paren + 2;
    while (at < text.size() && fields.size() < 15) {
        size_t blank = text.find(' ', at);
        if (blank == std::string::npos) blank = text.size();
        fields.push_back(text.substr(at, blank - at));
        at = blank + 1;
    }
    // Fields after the name: state(3) ... utime(14) stime(15), counted from 3.
    if (fields.size() < 13) return 0;
    return (std::stod(fields[11]) + std::stod(fields[12])) / 100.0;
}

// The most memory a process has held (VmHWM), in KB.
inline long PeakRssKb(pid_t pid) {
    const std::string text = test::ReadFile("/proc/" + std::to_string(pid) + "/status");
    const size_t at = text.find("VmHWM:");
    return at == std::string::npos ? 0 : std::strtol(text.c_str() + at + 6, nullptr, 10);
}

inline double CpuSeconds(const std::vector<pid_t>& pids) {
    double sum = 0;
    for (pid_t p : pids) sum += CpuSeconds(p);
    return sum;
}

}  // namespace orvana::bench
