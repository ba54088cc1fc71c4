#pragma once
// The program-wide event log: one line for nearly everything the server does. Lines carry a
// time stamp, or "\t\t  " when they fall in the same second as the previous stamped line; raw
// bytes are escaped so a log stays one line per event. Files are named after the program path
// and the date and hour of opening, and Renew starts the next one.
//
// Thread-safe: every write holds the log's lock, so lines are whole and renewal stays apart from
// writes. Each line reaches the file with one write(2).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace orvana {

namespace platform {
class AppendFile;
}

class EventLog {
  public:
    static constexpr size_t kMaxLine = 512;
    static constexpr size_t kMaxBacklog = 1 << 20;
    using Clock = std::function<platform::LocalTime()>;
    using ViewSink = std::function<void(const std::string&)>;

    // `program_path` is the program file's path without extension ("/srv/orvanasrv"); file names
    // get "YYMMDD-HH.log" appended. `clock` is the local time source (tests move it).
    explicit EventLog(std::string program_path, Clock clock = platform::NowLocal);
    ~EventLog();  // Close: the stop banner
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    // Lines go to the sink (the console's log view) before the file, without the line end.
    void SetViewSink(ViewSink sink);

    void WriteLine(std::string_view text);                                      // stamp + text
    void WriteRaw(std::string_view text);                                       // text, no stamp
    void WriteBytes(std::string_view prefix, const void* bytes, size_t count);  // stamp + escaped
    void AppendBytes(std::string_view line, const void* bytes, size_t count);   // no stamp

    void Open();
    void Close();
    void Renew();

    std::string FileName() const;

    // "dd.mm.yyyy hh:mm:ss " or the same-second prefix; `force` always gives the full stamp.
    std::string Stamp(bool force);
    // 32..126 as is, 13 "<cr>", 10 "<lf>", the rest "<%02X>".
    static std::string Escape(const void* bytes, size_t count);

  private:
    void Emit(std::string line);  // REQUIRES: mu_ held
    // Writes what waits in the backlog; false when the file still takes nothing. REQUIRES: mu_
    bool WriteBacklog();
    // Reports on stderr that lines cannot be written, once per run of failures. REQUIRES: mu_
    void ReportWriteFailure(const std::string& why);

    mutable std::recursive_mutex mu_;
    const std::string program_path_;
    Clock clock_;
    ViewSink sink_;                               // GUARDED_BY(mu_)
    std::string file_name_;                       // GUARDED_BY(mu_)
    std::unique_ptr<platform::AppendFile> file_;  // GUARDED_BY(mu_)
    // Between Open and Close, also while the file could not be opened.
    bool open_ = false;           // GUARDED_BY(mu_)
    int last_stamp_second_ = -1;  // GUARDED_BY(mu_)
    // Set at the first line that could not be written, cleared by the next one that was, so a
    // full disk is reported once rather than for every line.
    bool write_failed_ = false;  // GUARDED_BY(mu_)
    // Lines (or the rest of one) the file did not take, written in order before anything else
    // once it takes writes again; a disk full for long loses the lines beyond the bound, and
    // the log says how many.
    std::string backlog_;    // GUARDED_BY(mu_)
    size_t lines_lost_ = 0;  // GUARDED_BY(mu_)
};

}  // namespace orvana
