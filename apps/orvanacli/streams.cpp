// The verbs that go on after their request's reply: a data stream, a download, an upload, a
// firmware load and a detection run each send frames of their own until they end.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "apps/orvanacli/shell_session.h"
#include "apps/orvanacli/verbs.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/output_file.h"
#include "platform/signals.h"
#include "platform/terminal.h"

namespace orvana::cli {
namespace {

constexpr size_t kUploadPiece = 2048;  // fits the server's receive buffer, enciphered or not
constexpr uint32_t kDetachMs = 5000;
constexpr uint32_t kDefaultDetectMs = 120000;

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A frame that ends whatever the verb follows.
bool EndsSession(const ServerFrame& f) {
    return f.type == frame_type::kConnectionLost || f.type == frame_type::kTerminated;
}

// Bytes and blocks done and the rate: a bar redrawn in place on a terminal, else a plain line a
// second (for logs and pipes).
class Progress {
  public:
    explicit Progress(const char* what)
        : what_(what),
          terminal_(!InJson() && Reports() == stdout && platform::StdoutIsTerminal()),
          start_(platform::TickCount()) {}
    void Update(size_t blocks, size_t bytes) {
        blocks_ = blocks;
        bytes_ = bytes;
        const uint32_t now = platform::TickCount();
        if (shown_ && now - last_ < (terminal_ ? 100u : 1000u)) return;
        last_ = now;
        shown_ = true;
        if (terminal_) {
            const int marks = static_cast<int>(blocks % 30);
            std::fprintf(Reports(), "\r%s [%-30.*s] %zu blocks, %zu bytes, %.1f KB/s   ", what_,
                         marks, "##############################", blocks, bytes, Rate());
            std::fflush(Reports());
        } else {
            Line(false);
        }
    }
    // The last figures on a line of their own.
    void End() {
        if (!shown_) return;
        if (terminal_) std::fputc('\n', Reports());
        Line(true);
        shown_ = false;
    }

  private:
    void Line(bool done) const {
        const double seconds = (platform::TickCount() - start_) / 1000.0;
        char plain[160], json[240];
        if (done)
            std::snprintf(plain, sizeof plain, "%s: %zu blocks, %zu bytes in %.1f s, %.1f KB/s",
                          what_, blocks_, bytes_, seconds, Rate());
        else
            std::snprintf(plain, sizeof plain, "%s: %zu blocks, %zu bytes, %.1f KB/s", what_,
                          blocks_, bytes_, Rate());
        std::snprintf(json, sizeof json,
                      "{\"kind\":\"progress\",\"what\":\"%s\",\"blocks\":%zu,\"bytes\":%zu,"
                      "\"seconds\":%.1f,\"kb_per_s\":%.1f,\"done\":%s}",
                      what_, blocks_, bytes_, seconds, Rate(), done ? "true" : "false");
        Report(plain, json);
    }
    double Rate() const {
        const uint32_t ms = platform::TickCount() - start_;
        return ms == 0 ? 0.0 : static_cast<double>(bytes_) / 1024.0 / (ms / 1000.0);
    }
    const char* what_;
    bool terminal_;
    uint32_t start_;
    uint32_t last_ = 0;
    bool shown_ = false;
    size_t blocks_ = 0, bytes_ = 0;
};

// Follows the frames of type `type` on the receiver handle until a final text, printing
// progress and retries; the final text decides the status.
int FollowTransfer(Cli& cli, uint16_t type, const char* what, platform::OutputFile* out) {
    Progress progress(what);
    size_t blocks = 0, bytes = 0;
    bool cancelled = false;
    uint32_t quiet_since = platform::TickCount();
    for (;;) {
        if (!cancelled && Interrupted(cli)) {
            cancelled = true;
            cli.client.Send("CancelDownload", cli.handle);
        }
        bool closed = false;
        auto f = NextEvent(cli, kPollMs, &closed);
        if (closed) {
            progress.End();
            return ConnectionFailure(cli, what);
        }
        if (!f) {
            if (platform::TickCount() - quiet_since >= cli.options.timeout_ms) {
                progress.End();
                return Complain(std::string(what) + ": nothing heard from the server");
            }
            continue;
        }
        quiet_since = platform::TickCount();
        if (EndsSession(*f)) {
            progress.End();
            PrintReply(*f);
            return kExitRefused;
        }
        if (f->type != type) {
            if (f->type != frame_type::kReply) PrintEvent(*f);
            continue;
        }
        const std::string& d = f->data;
        if (d.compare(0, 3, "IN:") == 0 && d.size() >= 12) {
            std::string error;
            if (out && !out->Write(std::string_view(d).substr(12), &error)) {
                progress.End();
                return Complain(error);
            }
            bytes += d.size() - 12;
            progress.Update(++blocks, bytes);
        } else if (d.compare(0, 4, "INW:") == 0) {
            const size_t blank = d.find(' ');
            if (blank != std::string::npos)
                bytes += std::strtoul(d.c_str() + blank + 1, nullptr, 10);
            progress.Update(++blocks, bytes);
        } else if (d.compare(0, 3, "RT:") == 0) {
            // A retried block: worth knowing, but not the verb's output.
            std::fprintf(stderr, "%s\n",
                         InJson() ? ("{\"kind\":\"retry\",\"text\":" + JsonQuoted(d) + "}").c_str()
                                  : d.c_str());
        } else {
            progress.End();
            return PrintReply(*f);
        }
    }
}

}  // namespace

int GroupCode(std::string text, bool allow_all) {
    if (!text.empty() && text.back() == '/') text.pop_back();
    const char* names[] = {"jps", "cmr", "nmea", "rtcm", "all"};
    for (int i = 0; i < 5; ++i) {
        if (i == 4 && !allow_all) break;
        if (text == names[i] || text == std::string(1, static_cast<char>('0' + i))) return i;
    }
    return -1;
}

// On its own attach follows the stream until --seconds or Ctrl-C and detaches. In the shell
// the messages stay attached until detach: a stream into a file goes on behind the prompt.
int RunAttach(Cli& cli) {
    const auto& w = cli.options.words;
    const int group = GroupCode(w[1], false);
    if (group < 0) return Complain("GROUP is 0..3 or jps, cmr, nmea, rtcm: \"" + w[1] + "\"");
    auto file = std::make_unique<platform::OutputFile>();
    std::string error;
    if (cli.options.out && !file->Open(*cli.options.out, &error)) return Complain(error);
    int status = kExitOk;
    if (!UseReceiver(cli, w[0], false, &status)) return status;
    auto reply = Ask(cli, "Attach " + std::to_string(group) + "," + w[2], cli.handle);
    if (!reply) return kExitFailure;
    status = PrintReply(*reply);
    if (status != kExitOk) return status;

    const bool timed = cli.options.seconds.has_value();
    const bool behind_prompt = cli.shell != nullptr && file->IsOpen() && *cli.options.out != "-";
    if (behind_prompt) {
        cli.shell->KeepOutput(cli.handle, group, std::move(file));
        if (!timed) return kExitOk;
    }
    const uint32_t limit_ms = timed ? static_cast<uint32_t>(*cli.options.seconds * 1000.0) : 0;
    const uint32_t start = platform::TickCount();
    for (;;) {
        if (Interrupted(cli)) break;
        const uint32_t spent = platform::TickCount() - start;
        if (timed && spent >= limit_ms) break;
        const uint32_t wait = timed && limit_ms - spent < kPollMs ? limit_ms - spent : kPollMs;
        bool closed = false;
        auto f = NextEvent(cli, wait, &closed);
        if (closed) return ConnectionFailure(cli, "attach");
        if (!f) continue;
        if (f->IsData()) {
            const bool ours = f->handle == cli.handle && f->type / 256 - 1 == group;
            if (cli.shell != nullptr && !ours) continue;
            if (file && file->IsOpen()) {
                if (!file->Write(f->data, &error)) return Complain(error);
            } else {
                PrintDataFrame(*f);
            }
        } else if (EndsSession(*f)) {
            PrintReply(*f);
            return kExitRefused;
        } else if (!f->IsReply()) {
            PrintEvent(*f);
        }
    }
    if (cli.shell == nullptr) cli.client.Call("Detach 4", cli.handle, kDetachMs);
    if (file && !file->Close(&error)) return Complain(error);
    return kExitOk;
}

int RunDownload(Cli& cli) {
    const auto& w = cli.options.words;
    const std::string path = cli.options.out.value_or(BaseName(w[1]));
    if (path.empty()) return Complain("no file name in \"" + w[1] + "\": give -o PATH");
    // The file appears under its name only when it has arrived whole; standard output takes
    // the bytes as they come.
    const bool to_stdout = path == "-";
    const std::string partial = to_stdout ? path : path + ".part";
    platform::OutputFile file;
    std::string error;
    if (!file.Open(partial, &error)) return Complain(error);
    int status = kExitOk;
    if (UseReceiver(cli, w[0], false, &status)) {
        auto reply =
            Ask(cli, "DownloadFile " + w[1] + " " + std::to_string(cli.options.offset.value_or(0)),
                cli.handle);
        if (!reply) {
            status = kExitFailure;
        } else if (!reply->Succeeded()) {
            status = PrintReply(*reply);
        } else {
            status = FollowTransfer(cli, frame_type::kDownload, "download", &file);
        }
    }
    if (!file.Close(&error) && status == kExitOk) status = Complain(error);
    if (to_stdout) return status;
    if (status == kExitOk && !platform::RenameFile(partial, path))
        status = Complain("cannot rename " + partial + " to " + path);
    if (status != kExitOk) platform::RemoveFile(partial);
    return status;
}

std::optional<ServerFrame> UploadFile(Cli& cli, const std::string& path, const std::string& name,
                                      int* status) {
    std::string content, error;
    if (name.empty() || name.find(' ') != std::string::npos) {
        *status = Complain("the file name must not be empty or hold blanks: \"" + name + "\"");
        return std::nullopt;
    }
    if (!platform::ReadWholeFile(path, &content, &error)) {
        *status = Complain(error);
        return std::nullopt;
    }
    auto reply = Ask(cli, "LoadFile 0 " + name);
    if (!reply) {
        *status = kExitFailure;
        return std::nullopt;
    }
    if (!reply->Succeeded() || reply->code == 0) {
        *status = PrintReply(*reply);
        return std::nullopt;
    }
    const unsigned slot = reply->code;
    const size_t pieces = content.empty() ? 1 : (content.size() + kUploadPiece - 1) / kUploadPiece;
    Progress progress("upload");
    for (size_t k = 1; k <= pieces; ++k) {
        const std::string_view piece =
            std::string_view(content).substr((k - 1) * kUploadPiece, kUploadPiece);
        // The last piece carries a negative counter, which closes the file.
        const long counter = k == pieces ? -static_cast<long>(k) : static_cast<long>(k);
        reply =
            Ask(cli, "LoadFile " + std::to_string(slot) + " " + std::to_string(counter), 0, piece);
        if (!reply) {
            progress.End();
            *status = kExitFailure;
            return std::nullopt;
        }
        if (reply->data.compare(0, 4, "INS:") != 0) {
            progress.End();
            *status = PrintReply(*reply);
            return std::nullopt;
        }
        progress.Update(k, std::min(content.size(), k * kUploadPiece));
    }
    progress.End();
    *status = kExitOk;
    return reply;
}

int RunUpload(Cli& cli) {
    const std::string& path = cli.options.words[0];
    int status = kExitOk;
    auto last = UploadFile(cli, path, cli.options.as.value_or(BaseName(path)), &status);
    if (last) PrintReply(*last);
    return status;
}

int RunFirmware(Cli& cli) {
    const auto& w = cli.options.words;
    int status = kExitOk;
    const std::string name = BaseName(w[1]);
    if (platform::FileExists(w[1]) && !UploadFile(cli, w[1], name, &status)) return status;
    if (!UseReceiver(cli, w[0], false, &status)) return status;
    auto reply = Ask(cli, "LoadFirmware " + name, cli.handle);
    if (!reply) return kExitFailure;
    if (!reply->Succeeded() || reply->code == 0) {
        PrintReply(*reply);
        return kExitRefused;
    }
    return FollowTransfer(cli, frame_type::kUpload, "firmware", nullptr);
}

int RunCancel(Cli& cli) {
    int status = kExitOk;
    if (!UseReceiver(cli, cli.options.words[0], false, &status)) return status;
    auto reply = Ask(cli, "CancelDownload", cli.handle);
    return reply ? PrintReply(*reply) : kExitFailure;
}

int RunDetect(Cli& cli) {
    auto reply = Ask(cli, "DetectRcv");
    if (!reply) return kExitFailure;
    const int status = PrintReply(*reply);
    if (status != kExitOk) return status;
    const uint32_t limit_ms = cli.options.seconds
                                  ? static_cast<uint32_t>(*cli.options.seconds * 1000.0)
                                  : kDefaultDetectMs;
    const uint32_t start = platform::TickCount();
    for (;;) {
        if (Interrupted(cli)) return kExitRefused;
        const uint32_t spent = platform::TickCount() - start;
        if (spent >= limit_ms) return Complain("detect: no result within the time");
        bool closed = false;
        auto f = NextEvent(cli, limit_ms - spent < kPollMs ? limit_ms - spent : kPollMs, &closed);
        if (closed) return ConnectionFailure(cli, "detect");
        if (!f || f->IsReply()) continue;
        if (f->type == frame_type::kDetection)
            return PrintReply(*f) == kExitOk ? kExitOk : kExitRefused;
        PrintEvent(*f);
        if (EndsSession(*f)) return kExitRefused;
    }
}

}  // namespace orvana::cli
