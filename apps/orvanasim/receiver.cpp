#include "apps/orvanasim/receiver.h"

#include <cctype>
#include <chrono>

#include <cstdlib>
#include <filesystem>
#include <optional>

#include "apps/orvanasim/gnss_messages.h"
#include "apps/orvanasim/receiver_text.h"
#include "apps/orvanasim/serve.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace orvana::sim {
namespace {

// The clock a reader on this machine compares the stamps with (CLOCK_MONOTONIC).
int64_t SteadyMicroseconds() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

int64_t UnixMilliseconds() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

constexpr long kRates[] = {1200,  2400,   4800,   9600,   19200, 38400,
                           57600, 115200, 230400, 460800, 921600};

// Junk that never starts a message, for the garbage fault.
constexpr std::string_view kJunk = "#~\x01\x7f";

// "/par/cur/term" and "cur/term" name the same parameter.
std::string Normalized(std::string path) {
    while (!path.empty() && path.front() == '/') path.erase(0, 1);
    if (path.rfind("par/", 0) == 0) path.erase(0, 4);
    return path;
}

bool ToLong(const std::string& text, long* out) {
    if (text.empty()) return false;
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0') return false;
    *out = v;
    return true;
}

std::string Before(const std::string& s, char c) {
    return s.substr(0, s.find(c));
}

std::string After(const std::string& s, char c) {
    size_t at = s.find(c);
    return at == std::string::npos ? std::string() : s.substr(at + 1);
}

bool Due(uint32_t now, uint32_t at) {
    return static_cast<int32_t>(now - at) >= 0;
}

// "{A,B}" parts of "name:{A,B}".
std::vector<std::string> BraceFields(const std::string& text) {
    std::vector<std::string> fields;
    size_t open = text.find('{');
    size_t close = text.find('}', open == std::string::npos ? 0 : open);
    if (open == std::string::npos || close == std::string::npos) return fields;
    std::string inner = text.substr(open + 1, close - open - 1);
    size_t at = 0;
    for (;;) {
        size_t comma = inner.find(',', at);
        fields.push_back(inner.substr(at, comma - at));
        if (comma == std::string::npos) break;
        at = comma + 1;
    }
    return fields;
}

}  // namespace

bool IsReceiverRate(long rate) {
    for (long r : kRates) {
        if (r == rate) return true;
    }
    return false;
}

SimReceiver::SimReceiver(const Options& options, Link& link, std::string term,
                         Transcript* transcript)
    : options_(options),
      link_(link),
      term_(std::move(term)),
      transcript_(transcript),
      speed_(options.speed) {}

void SimReceiver::Feed(std::string_view bytes, uint32_t now) {
    switch (mode_) {
        case Mode::Lines:
            FeedLines(bytes, now);
            break;
        case Mode::Download:
            FeedDownload(bytes, now);
            break;
        case Mode::Upload:
            FeedUpload(bytes, now);
            break;
    }
}

void SimReceiver::FeedLines(std::string_view bytes, uint32_t now) {
    std::string ignored;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (mode_ != Mode::Lines) {
            // A transfer began in the middle of this read: the rest is transfer bytes.
            Feed(bytes.substr(i), now);
            break;
        }
        const char ch = bytes[i];
        unsigned char c = static_cast<unsigned char>(ch);
        if ((c < 0x20 && c != '\r' && c != '\n' && c != '\t') || c == 0x7F) {
            ignored.push_back(ch);
            continue;
        }
        if (auto line = lines_.Add(ch)) HandleLine(*line, now);
        if (broken_) return;
    }
    if (!ignored.empty()) Note("ignored " + Escaped(ignored));
}

void SimReceiver::FeedDownload(std::string_view bytes, uint32_t now) {
    for (size_t i = 0; i < bytes.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == '\r' || c == '\n') continue;  // the rest of the get command's line end
        if (c == kSendBlock || c == kBlockAccepted) {
            // Recorded so a test sees what the host asked for, and when.
            if (transcript_) transcript_->Line(Escaped(bytes.substr(i, 1)));
            std::string frame = download_->OnControl(c);
            if (!frame.empty()) Emit(frame, false);
            if (broken_) return;
            continue;
        }
        // Anything else ends the transfer: the host is back to commands.
        Note(download_->LastSent() ? "download complete" : "download ended by the host");
        download_.reset();
        mode_ = Mode::Lines;
        FeedLines(bytes.substr(i), now);
        return;
    }
}

void SimReceiver::FeedUpload(std::string_view bytes, uint32_t now) {
    // A frame starts with its tag, never with the rest of the put command's line end.
    while (!upload_.any_bytes && !bytes.empty() && (bytes[0] == '\r' || bytes[0] == '\n')) {
        bytes.remove_prefix(1);
    }
    if (bytes.empty()) return;
    upload_.any_bytes = true;
    upload_.last_byte = now;
    std::string pending(bytes);
    while (!pending.empty() && mode_ == Mode::Upload) {
        std::string rest;
        auto verdict = upload_.frames->Add(pending, &rest);
        pending.swap(rest);
        switch (verdict) {
            case UploadReceiver::Verdict::Incomplete:
                break;
            case UploadReceiver::Verdict::Accepted:
                if (options_.faults.upload_abort != 0) {
                    Note("upload aborted with code " +
                         std::to_string(options_.faults.upload_abort));
                    Emit(std::string(1, static_cast<char>(options_.faults.upload_abort)), false);
                    upload_ = Upload{};
                    mode_ = Mode::Lines;
                    return;
                }
                upload_.fruitless_asks = 0;
                Emit(std::string(1, static_cast<char>(kBlockAccepted)), false);
                break;
            case UploadReceiver::Verdict::Rejected:
                Note("upload block " + std::to_string(upload_.frames->blocks()) + " rejected (" +
                     upload_.frames->last_error() + ")");
                Emit(std::string(1, static_cast<char>(kSendBlock)), false);
                break;
            case UploadReceiver::Verdict::Finished: {
                std::string error;
                if (platform::WriteWholeFile(upload_.path, upload_.frames->content(), &error)) {
                    Note("upload stored " + upload_.path + " (" +
                         std::to_string(upload_.frames->content().size()) + " bytes)");
                } else {
                    Note("upload not stored: " + error);
                }
                Emit(std::string(1, static_cast<char>(kBlockAccepted)), false);
                upload_ = Upload{};
                mode_ = Mode::Lines;
                break;
            }
        }
        if (broken_) return;
    }
    if (!pending.empty()) FeedLines(pending, now);
}

void SimReceiver::Tick(uint32_t now) {
    if (mode_ == Mode::Upload) {
        bool stalled = upload_.frames->HasPartial() && Due(now, upload_.last_byte + 2000);
        bool unasked = !upload_.any_bytes && Due(now, upload_.next_ask);
        if (stalled || unasked) {
            if (++upload_.fruitless_asks > 10) {
                Note("upload abandoned: no usable block from the host");
                upload_ = Upload{};
                mode_ = Mode::Lines;
                return;
            }
            upload_.frames->DropPartial();
            upload_.last_byte = now;
            upload_.next_ask = now + 1500;
            Emit(std::string(1, static_cast<char>(kSendBlock)), false);
        }
        return;
    }
    if (mode_ != Mode::Lines || output_.Empty()) return;
    std::vector<OutputItem*> due;
    output_.TakeDue(now, Flooding(), &due);
    if (due.empty()) return;
    std::string batch;
    for (OutputItem* item : due) {
        ++item->sequence;
        ++stream_sequence_;
        bool corrupt = options_.faults.bad_checksum_every > 0 &&
                       stream_sequence_ % options_.faults.bad_checksum_every == 0;
        if (options_.faults.garbage) batch.append(kJunk);
        std::optional<std::string> real;
        if (!options_.numbered)
            real = RealMessage(item->name, options_.station, UnixMilliseconds());
        batch += BuildContainer(item->index,
                                real ? *real
                                     : ContainerPayload(item->sequence, stream_sequence_,
                                                        item->name, options_.payload_size,
                                                        options_.stamp ? SteadyMicroseconds() : -1),
                                corrupt);
    }
    Emit(batch, false);
}

uint32_t SimReceiver::MsUntilWork(uint32_t now, uint32_t cap) const {
    if (mode_ == Mode::Upload) return cap < 100 ? cap : 100;
    if (mode_ != Mode::Lines || output_.Empty()) return cap;
    if (Flooding()) return 0;
    return output_.MsUntilDue(now, cap);
}

void SimReceiver::HandleLine(const std::string& line, uint32_t now) {
    if (transcript_) transcript_->Line(line);
    if (!link_.PeerAtOwnSpeed()) {
        Note("line dropped, host at another speed: " + Escaped(line));
        return;
    }
    ParsedLine parsed = ParseLine(line);
    if (!parsed.checksum_ok) {
        Note("bad checksum: " + Escaped(line));
        Error(parsed.tag, 2, "checksum");
        return;
    }
    for (const auto& command : parsed.commands) {
        Execute(command, now);
        if (broken_ || mode_ != Mode::Lines) return;
    }
}

void SimReceiver::Execute(const Command& command, uint32_t now) {
    const std::string& body = command.body;
    const std::string& tag = command.tag;
    if (!body.empty() && body[0] == '#') return;  // comment
    std::string word = Before(body, ',');
    std::string args = After(body, ',');
    for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (word.empty()) {
        Reply(tag, "");
    } else if (word == "print") {
        Print(tag, args);
    } else if (word == "set") {
        Set(tag, args);
    } else if (word == "em") {
        Enable(tag, args, now);
    } else if (word == "dm") {
        Disable(tag, args);
    } else if (word == "list") {
        List(tag, args);
    } else if (word == "init") {
        Reply(tag, "");
    } else if (word == "get") {
        StartDownload(tag, args);
    } else if (word == "put") {
        StartUpload(tag, args, now);
    } else if (word == "remove") {
        Remove(tag, args);
    } else if (word == "fld") {
        LoadFirmware(tag, args);
    } else {
        Note("unknown command: " + Escaped(body));
        Error(tag, 1, "unknown command");
    }
}

bool SimReceiver::IsOwnPort(const std::string& port) const {
    return port.empty() || Normalized(port) == Normalized(term_) || Normalized(port) == "cur/term";
}

void SimReceiver::Print(const std::string& tag, const std::string& args) {
    std::string path = Normalized(args);
    if (path.rfind("log/", 0) == 0 && path.size() > 5 && path.ends_with("&size")) {
        std::string file = LogFilePath("/" + path.substr(0, path.size() - 5));
        std::error_code ec;
        auto size = file.empty() ? 0 : std::filesystem::file_size(file, ec);
        if (file.empty() || ec) {
            Error(tag, 4, "no such file");
            return;
        }
        Reply(tag, std::to_string(size));
        return;
    }
    std::string own = Normalized(term_) + "/";
    if (path.rfind(own, 0) == 0) path = "cur/term/" + path.substr(own.size());
    if (path == "cur/term") {
        Reply(tag, term_);
    } else if (path == "cur/term/rate") {
        Reply(tag, std::to_string(speed_));
    } else if (path == "cur/term/rtscts") {
        Reply(tag, rtscts_ ? "on" : "off");
    } else if (path == "rcv/model") {
        Reply(tag, options_.model);
    } else if (path == "rcvid") {
        Reply(tag, options_.rcvid);
    } else if (path == "version/main") {
        Reply(tag, options_.version);
    } else {
        for (const auto& [key, value] : settings_) {
            if (key == path) {
                Reply(tag, value);
                return;
            }
        }
        if (path.rfind("dev/ser/", 0) == 0 && path.ends_with("/rate")) {
            Reply(tag, "115200");
            return;
        }
        Error(tag, 1, "unknown parameter");
    }
}

void SimReceiver::Set(const std::string& tag, const std::string& args) {
    std::string path = Normalized(Before(args, ','));
    std::string value = After(args, ',');
    if (path.empty() || args.find(',') == std::string::npos) {
        Error(tag, 3, "set needs a parameter and a value");
        return;
    }
    std::string own = Normalized(term_) + "/";
    if (path.rfind(own, 0) == 0) path = "cur/term/" + path.substr(own.size());
    if (path == "cur/term/rate") {
        long rate = 0;
        if (!ToLong(value, &rate) || !IsReceiverRate(rate)) {
            Error(tag, 3, "bad rate");
            return;
        }
        // The answer still goes out at the old speed; the new one applies after it has left.
        Reply(tag, "");
        link_.Drain();
        if (link_.SetOwnSpeed(static_cast<uint32_t>(rate))) {
            speed_ = static_cast<uint32_t>(rate);
            warned_speed_ = false;
            Note("line speed now " + std::to_string(rate));
        }
        return;
    }
    if (path == "cur/term/rtscts") {
        if (value != "on" && value != "off") {
            Error(tag, 3, "bad rtscts value");
            return;
        }
        rtscts_ = value == "on";
        Reply(tag, "");
        return;
    }
    for (auto& [key, old] : settings_) {
        if (key == path) {
            old = value;
            Reply(tag, "");
            return;
        }
    }
    if (settings_.size() < 256) settings_.emplace_back(path, value);
    Reply(tag, "");
}

void SimReceiver::Enable(const std::string& tag, const std::string& args, uint32_t now) {
    std::string port = Before(args, ',');
    std::string list = After(args, ',');
    if (!IsOwnPort(port)) {
        Reply(tag, "");  // another port of the receiver: nobody listens there
        return;
    }
    std::string error;
    if (!output_.Enable(list, options_.messages, options_.time_scale, now, &error)) {
        Note("em refused: " + error);
        Error(tag, 5, error);
        return;
    }
    Reply(tag, "");
}

void SimReceiver::Disable(const std::string& tag, const std::string& args) {
    std::string port = Before(args, ',');
    if (IsOwnPort(port)) output_.Disable(After(args, ','));
    Reply(tag, "");
}

void SimReceiver::List(const std::string& tag, const std::string& args) {
    std::string path = Normalized(args);
    int group = path.rfind("msg/", 0) == 0 ? MessageNames::GroupOf(path.substr(4)) : -1;
    if (group < 0) {
        Error(tag, 1, "unknown list");
        return;
    }
    Reply(tag, options_.messages.ListReply(group));
}

std::string SimReceiver::LogFilePath(const std::string& receiver_path) const {
    if (options_.files_dir.empty()) return {};
    std::string path = receiver_path;
    while (!path.empty() && path.front() == '/') path.erase(0, 1);
    if (path.rfind("log/", 0) != 0) return {};
    std::string name = path.substr(4);
    // One plain name inside the folder: nothing that climbs out of it.
    if (name.empty() || name[0] == '.' || name.find('/') != std::string::npos ||
        name.find('\\') != std::string::npos) {
        return {};
    }
    return options_.files_dir + "/" + name;
}

void SimReceiver::StartDownload(const std::string& tag, const std::string& args) {
    // get,/log/NAME:{T,BLOCKSIZE},OFFSET
    std::string file = LogFilePath(Before(args, ':'));
    auto fields = BraceFields(args);
    long block = 0, offset = 0;
    size_t close = args.find('}');
    std::string offset_text = close == std::string::npos ? "" : args.substr(close + 1);
    if (!offset_text.empty() && offset_text[0] == ',') offset_text.erase(0, 1);
    if (offset_text.empty()) offset_text = "0";
    if (fields.size() < 2 || !ToLong(fields[1], &block) || block < 1 || block > 32768 ||
        !ToLong(offset_text, &offset) || offset < 0) {
        Error(tag, 3, "bad get arguments");
        return;
    }
    std::string content, error;
    if (file.empty() || !platform::ReadWholeFile(file, &content, &error)) {
        Error(tag, 4, "no such file");
        return;
    }
    if (static_cast<size_t>(offset) > content.size()) {
        Error(tag, 3, "offset beyond the end");
        return;
    }
    Reply(tag, "");
    Note("download " + file + " from " + std::to_string(offset) + " in blocks of " +
         std::to_string(block));
    DownloadSender::Faults faults{options_.faults.crc_error_block,
                                  options_.faults.number_error_block};
    download_ = std::make_unique<DownloadSender>(std::move(content), static_cast<size_t>(offset),
                                                 static_cast<size_t>(block), faults);
    lines_.Clear();
    mode_ = Mode::Download;
}

void SimReceiver::StartUpload(const std::string& tag, const std::string& args, uint32_t now) {
    // put,/log/NAME:{T,BLOCKSIZE},0
    std::string receiver_path = Before(args, ':');
    std::string file = LogFilePath(receiver_path);
    auto fields = BraceFields(args);
    long block = 0;
    if (fields.size() < 2 || !ToLong(fields[1], &block) || block < 1 || block > 32768) {
        Error(tag, 3, "bad put arguments");
        return;
    }
    if (file.empty()) {
        Error(tag, 4, "cannot write there");
        return;
    }
    Reply(tag, "");
    Note("upload to " + file + " in blocks of " + std::to_string(block));
    upload_ = Upload{};
    upload_.path = file;
    upload_.name = receiver_path;
    upload_.frames = std::make_unique<UploadReceiver>(static_cast<size_t>(block));
    // The host switches to raw input only after it has our answer: ask a little later.
    upload_.next_ask = now + 300;
    lines_.Clear();
    mode_ = Mode::Upload;
}

void SimReceiver::Remove(const std::string& tag, const std::string& args) {
    std::string file = LogFilePath(Before(args, ','));
    if (file.empty()) {
        Error(tag, 4, "no such file");
        return;
    }
    std::error_code ec;
    std::filesystem::remove(file, ec);
    Reply(tag, "");
}

void SimReceiver::LoadFirmware(const std::string& tag, const std::string& args) {
    // fld,RCVID,/log/NAME
    std::string id = Before(args, ',');
    std::string file = LogFilePath(After(args, ','));
    std::error_code ec;
    if (id != options_.rcvid) {
        Error(tag, 3, "wrong receiver id");
    } else if (file.empty() || !std::filesystem::is_regular_file(file, ec)) {
        Error(tag, 4, "no such file");
    } else {
        Reply(tag, "{0,firmware loaded}");
    }
}

void SimReceiver::Reply(const std::string& tag, const std::string& body) {
    std::string sent_tag = tag;
    if (options_.faults.wrong_tag && tag.size() >= 2) {
        sent_tag = tag.substr(0, tag.size() - 1) + "x%";
    }
    for (const auto& part : ReplyMessages("RE", sent_tag, body, options_.max_reply)) {
        Emit(part, true);
        if (broken_) return;
    }
}

void SimReceiver::Error(const std::string& tag, int code, const std::string& text) {
    Emit(ReplyMessage("ER", tag, "{" + std::to_string(code) + "," + text + "}"), true);
}

void SimReceiver::Emit(std::string_view bytes, bool is_reply) {
    if (broken_ || options_.faults.silent || bytes.empty()) return;
    if (!link_.PeerAtOwnSpeed()) {
        if (!warned_speed_) Note("host at another speed: output held back");
        warned_speed_ = true;
        return;
    }
    // A long delay must not hold off a termination signal, which another thread may take.
    if (is_reply && options_.faults.reply_delay_ms) {
        const uint32_t start = platform::TickCount();
        for (;;) {
            const uint32_t spent = platform::TickCount() - start;
            if (spent >= options_.faults.reply_delay_ms) break;
            const uint32_t left = options_.faults.reply_delay_ms - spent;
            if (StopRequested(left < 100 ? left : 100)) return;
        }
    }
    std::string out;
    if (is_reply && options_.faults.garbage) {
        out.append(kJunk);
        out.append(bytes);
        bytes = out;
    }
    const long limit = options_.faults.disconnect_after;
    if (limit > 0 && bytes_sent_ + bytes.size() >= static_cast<uint64_t>(limit)) {
        bytes = bytes.substr(0, static_cast<size_t>(limit - static_cast<long>(bytes_sent_)));
        link_.Write(bytes);
        bytes_sent_ += bytes.size();
        Note("disconnecting after " + std::to_string(bytes_sent_) + " bytes");
        broken_ = true;
        return;
    }
    if (!link_.Write(bytes)) {
        broken_ = true;
        return;
    }
    bytes_sent_ += bytes.size();
}

}  // namespace orvana::sim
