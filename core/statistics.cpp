#include "core/statistics.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/folders.h"

namespace orvana {

std::string Statistics::ForcedStamp() const {
    return platform::FormatTimestamp(clock_()) + " ";
}

void Statistics::OpenStatistics(const std::string& file_name) {
    std::lock_guard<std::mutex> guard(mu_);
    file_name_ = file_name;
    stamp_length_ = ForcedStamp().size();
    auto f = platform::RandomFile::Open(file_name_);
    if (!f) {
        active_ = false;
        return;
    }
    std::string banner = "\r\n**** Start Statistics " + ForcedStamp() + " ****\r\n\r\n";
    if (!f->AppendAtEnd(banner.data(), banner.size())) {
        active_ = false;
        return;
    }
    records_start_ = f->Size();
    active_ = true;
}

void Statistics::WriteRecord(std::string_view line, uint32_t session_number) {
    std::lock_guard<std::mutex> guard(mu_);
    if (!active_) return;
    std::string x = ForcedStamp() + std::string(line);
    auto f = platform::RandomFile::Open(file_name_);
    if (!f) return;
    constexpr size_t kBody = kRecordSize - 4;  // the record ends in "\r\n\r\n"
    if (session_number == 0) {
        std::string record(kRecordSize, ' ');
        size_t n = x.size() < kBody ? x.size() : kBody;
        std::memcpy(record.data(), x.data(), n);
        // The line end after the login line, where it fits before the closing line ends.
        if (n + 2 <= kBody) std::memcpy(record.data() + n, "\r\n", 2);
        std::memcpy(record.data() + kBody, "\r\n\r\n", 4);
        f->AppendAtEnd(record.data(), record.size());
        return;
    }
    char record[kRecordSize];
    for (int64_t at = records_start_;; at += kRecordSize) {
        long got = f->ReadAt(at, record, kRecordSize);
        if (got < static_cast<long>(kRecordSize)) return;  // not in this run's records: dropped
        // The session number follows the stamp: parse its decimal digits, bounded to the record.
        uint32_t number = 0;
        size_t i = stamp_length_;
        bool digits = false;
        while (i < kBody && record[i] >= '0' && record[i] <= '9') {
            number = number * 10 + static_cast<uint32_t>(record[i] - '0');
            digits = true;
            ++i;
        }
        if (!digits || number != session_number) continue;
        const void* lf = std::memchr(record, '\n', kBody);
        if (lf == nullptr) return;
        size_t from = static_cast<size_t>(static_cast<const char*>(lf) - record) + 1;
        if (from >= kBody) return;
        size_t n = x.size() < kBody - from ? x.size() : kBody - from;
        f->WriteAt(at + static_cast<int64_t>(from), x.data(), n);
        return;
    }
}

void Statistics::CloseStatistics() {
    std::lock_guard<std::mutex> guard(mu_);
    if (!active_) return;
    auto f = platform::RandomFile::Open(file_name_);
    if (f) {
        std::string banner = "**** Stop Statistics " + ForcedStamp() + " ****\r\n\r\n";
        f->AppendAtEnd(banner.data(), banner.size());
    }
    active_ = false;
}

}  // namespace orvana
