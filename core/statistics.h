#pragma once
// The statistics file: one 180-byte record per login, appended at login and completed with the
// exit line when the session ends. Between writes the file stays closed so other programs can
// read it. Thread-safe (its own lock).

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace orvana {

class Statistics {
  public:
    static constexpr int kHalfRecord = 90;
    static constexpr int kRecordSize = 2 * kHalfRecord;

    explicit Statistics(std::function<platform::LocalTime()> clock = platform::NowLocal)
        : clock_(std::move(clock)) {}

    void OpenStatistics(const std::string& file_name);
    // Session number 0 appends a record; another completes that session's record.
    void WriteRecord(std::string_view line, uint32_t session_number);
    void CloseStatistics();

    bool active() const { return active_; }
    const std::string& file_name() const { return file_name_; }

  private:
    std::string ForcedStamp() const;

    std::function<platform::LocalTime()> clock_;
    std::mutex mu_;
    std::string file_name_;
    bool active_ = false;
    int64_t records_start_ = 0;
    size_t stamp_length_ = 0;
};

}  // namespace orvana
