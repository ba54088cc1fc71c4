#include "core/event_log.h"

#include <cstdio>

#include "platform/folders.h"

namespace orvana {

namespace {
constexpr const char* kBuildDate = "May  4 2009";
}

EventLog::EventLog(std::string program_path, Clock clock)
    : program_path_(std::move(program_path)), clock_(std::move(clock)) {}

EventLog::~EventLog() {
    Close();
}

void EventLog::SetViewSink(ViewSink sink) {
    std::lock_guard<std::recursive_mutex> guard(mu_);
    sink_ = std::move(sink);
}

std::string EventLog::Stamp(bool force) {
    std::lock_guard<std::recursive_mutex> guard(mu_);
    platform::LocalTime now = clock_();
    int second = now.hour * 3600 + now.minute * 60 + now.second;
    if (!force && second == last_stamp_second_) return "\t\t  ";
    last_stamp_second_ = second;
    return platform::FormatTimestamp(now) + " ";
}

std::string EventLog::Escape(const void* bytes, size_t count) {
    const unsigned char* p = static_cast<const unsigned char*>(bytes);
    std::string out;
    out.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        unsigned char c = p[i];
        if (c >= 32 && c <= 126) {
            out.push_back(static_cast<char>(c));
        } else if (c == 13) {
            out += "<cr>";
        } else if (c == 10) {
            out += "<lf>";
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "<%02X>", c);
            out += hex;
        }
    }
    return out;
}

void EventLog::Emit(std::string line) {
    if (sink_) sink_(line);
    if (!open_) return;
    line += "\r\n";
    // Older lines first; once lines were lost, later ones are too until the gap is noted, so
    // the file keeps the order they came in.
    if (!backlog_.empty() || lines_lost_ != 0) WriteBacklog();
    if (lines_lost_ == 0 && backlog_.size() + line.size() <= kMaxBacklog)
        backlog_ += line;
    else
        ++lines_lost_;
    WriteBacklog();
}

bool EventLog::WriteBacklog() {
    if (!file_) return false;
    if (backlog_.empty() && lines_lost_ == 0) return true;
    std::string error;
    const size_t written = file_->Append(backlog_.data(), backlog_.size(), &error);
    backlog_.erase(0, written);
    if (!backlog_.empty()) {
        ReportWriteFailure(error);
        return false;
    }
    write_failed_ = false;
    if (lines_lost_ != 0) {
        char note[96];
        std::snprintf(note, sizeof note, "ER:%zu log lines lost: the file took no writes",
                      lines_lost_);
        lines_lost_ = 0;
        Emit(Stamp(true) + note);
    }
    return true;
}

void EventLog::ReportWriteFailure(const std::string& why) {
    if (write_failed_) return;
    write_failed_ = true;
    std::fprintf(stderr, "event log %s: %s; its lines wait until it can be written again\n",
                 file_name_.c_str(), why.c_str());
    std::fflush(stderr);
}

void EventLog::WriteLine(std::string_view text) {
    std::lock_guard<std::recursive_mutex> guard(mu_);
    Emit(Stamp(false) + std::string(text.substr(0, kMaxLine)));
}

void EventLog::WriteRaw(std::string_view text) {
    std::lock_guard<std::recursive_mutex> guard(mu_);
    Emit(std::string(text.substr(0, kMaxLine)));
}

void EventLog::WriteBytes(std::string_view prefix, const void* bytes, size_t count) {
    std::lock_guard<std::recursive_mutex> guard(mu_);
    Emit(Stamp(false) + std::string(prefix) + Escape(bytes, count < kMaxLine ? count : kMaxLine));
}

void EventLog::AppendBytes(std::string_view line, const void* bytes, size_t count) {
    std::lock_guard<std::recursive_mutex> guard(mu_);
    Emit(std::string(line) + Escape(bytes, count < kMaxLine ? count : kMaxLine));
}

void EventLog::Open() {
    std::lock_guard<std::recursive_mutex> guard(mu_);
    platform::LocalTime now = clock_();
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "%02d%02d%02d-%02d.log", now.year % 100, now.month,
                  now.day, now.hour);
    file_name_ = program_path_ + suffix;
    open_ = true;
    std::string error;
    file_ = platform::AppendFile::Open(file_name_, &error);
    if (!file_) ReportWriteFailure(error);
    Emit("\r\n**** Start Log " + Stamp(true) + " **** " + "Version 1.4 Build Date: " + kBuildDate +
         "\r\n");
}

void EventLog::Close() {
    std::lock_guard<std::recursive_mutex> guard(mu_);
    if (!open_) return;
    Emit("\r\n**** Stop Log " + Stamp(true) + " ****\r\n");
    file_.reset();
    open_ = false;
}

void EventLog::Renew() {
    std::lock_guard<std::recursive_mutex> guard(mu_);
    Close();
    Open();
}

std::string EventLog::FileName() const {
    std::lock_guard<std::recursive_mutex> guard(mu_);
    return file_name_;
}

}  // namespace orvana
