#include "receivers/command_engine.h"

#include <cctype>
#include <cstdio>

#include "core/event_log.h"
#include "core/text.h"
#include "platform/clock.h"
#include "receivers/receiver.h"

namespace orvana {
namespace {

void GiveBackSender(Receiver& r) {
    if (--r.sender_count == 0) r.reply_state = -1;
}

// A reply whose body starts with a tag must carry the tag of the line sent.
// A tag opens the command line or one of its lines.
bool HasTag(const std::string& line) {
    const size_t first = line.find('%');
    if (first == std::string::npos || (first != 0 && line[first - 1] != '\n')) return false;
    return line.find('%', first + 1) != std::string::npos;
}

bool TagMatches(const std::string& out, const std::string& line) {
    // An untagged "RE" to a tagged command is the late answer to one sent without waiting
    // before it (the open sequence's "set,lock/elm,0" ahead of "%Loop%"), not this reply.
    if (out.size() >= 5 && out.compare(0, 2, "RE") == 0 && (out.size() < 6 || out[5] != '%'))
        return !HasTag(line);
    if (out.size() < 6 || out[5] != '%') return true;
    const size_t q = out.find('%', 6);
    if (q == std::string::npos) return true;
    const size_t n = q - 4;
    const size_t first = line.find('%');
    if (first == std::string::npos) return false;
    return out.compare(5, n, line, first, n) == 0 && line.size() - first >= n;
}

}  // namespace

uint8_t ReceiverChecksum(const void* data, size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
    uint8_t v = 0;
    for (size_t i = 0; i < n; ++i) v = static_cast<uint8_t>(((v << 2) | (v >> 6)) ^ p[i]);
    return static_cast<uint8_t>((v << 2) | (v >> 6));
}

bool PrepareLine(std::string_view command, bool gate, std::string* line) {
    *line = std::string(command);
    if (gate) return line->size() <= kMaxCommandLine;
    const bool plain = command.find_first_of("\n@;#") == std::string_view::npos &&
                       command.find("||") == std::string_view::npos &&
                       command.find("&&") == std::string_view::npos;
    if (plain) {
        *line += '@';
        char sum[8];
        std::snprintf(sum, sizeof sum, "%2x", ReceiverChecksum(line->data(), line->size()));
        *line += sum;
    }
    *line += "\r\n";
    return line->size() <= kMaxCommandLine;
}

bool SendCommand(Receiver& r, std::string_view command, std::string* out, uint32_t timeout_ms) {
    EventLog& log = r.log();
    std::string line;
    bool result = false;
    if (!PrepareLine(command, r.kind == LinkKind::kGate, &line)) {
        *out = "ER:Command too long";
        r.error_count++;
        GiveBackSender(r);
        return false;
    }
    if (r.stop) {
        *out = "ER:Terminate connect Rcv=" + r.receiver_name;
        GiveBackSender(r);
        return false;
    }
    if (r.reply_state == 0 && timeout_ms != 0) {
        // Queued behind a command whose reply never came: fail at once until the queue drains.
        log.WriteLine("ReReply receiver=" + r.receiver_name + " " + line);
        *out = kReplyTimeout;
    } else {
        // Waiting before the line goes out, so that a quick reply finds its sender; a reply
        // from before (one whose sender gave up) must not be taken for this one.
        if (timeout_ms != 0) {
            r.reply_event.ResetEvent();
            r.awaiting_reply = 1;
        }
        log.WriteBytes("   " + r.receiver_name + " < ", line.data(), line.size());
        const bool sent = r.Write(line.data(), static_cast<uint32_t>(line.size())) == line.size();
        if (timeout_ms == 0) {
            r.reply_state = 1;
            GiveBackSender(r);
            return sent;
        }
        if (r.stop) {
            // Stopped while the line went out: no reply can come, whatever the write did.
            r.awaiting_reply = 0;
            *out = "ER:Terminate connect Rcv=" + r.receiver_name;
            r.error_count++;
            GiveBackSender(r);
            return false;
        }
        for (;;) {
            const bool woken = r.reply_event.Wait(timeout_ms);
            if (r.stop) {
                // The link gave up while this sender waited (it wakes the wait).
                *out = "ER:Terminate connect Rcv=" + r.receiver_name;
                break;
            }
            const bool replied = woken;
            r.reply_state = replied ? 1 : 0;
            if (replied) {
                *out = r.reply.Text();
                r.timeout_count = 0;
            } else {
                *out = kReplyTimeout;
                if (r.context().traffic != nullptr) Bump(r.context().traffic->reply_timeouts);
                if (r.timeout_count == 0) r.first_timeout_tick = platform::TickCount();
                if (r.kind == LinkKind::kTcp) {
                    ++r.timeout_count;
                    const uint32_t seconds = (platform::TickCount() - r.first_timeout_tick) / 1000;
                    if (r.timeout_count > 3 || seconds > 240) {
                        r.stop = 1;
                        r.timeout_count = 0;
                        log.WriteLine("Delete receiver:" + r.receiver_name);
                        break;
                    }
                }
            }
            if (replied && !TagMatches(*out, line)) {
                log.WriteLine("   " + r.receiver_name + " > ER:unable reply->" + *out);
                r.error_count++;
                continue;
            }
            break;
        }
        r.awaiting_reply = 0;
    }
    result = out->compare(0, 2, "RE") == 0;
    if (!result) r.error_count++;
    GiveBackSender(r);
    return result;
}

bool InternalCommand(Receiver& r, std::string_view command, uint32_t timeout_ms) {
    ++r.sender_count;
    std::lock_guard<platform::RecursiveLock> guard(r.command_lock);
    if (r.kind == LinkKind::kGate) {
        GiveBackSender(r);
        return true;
    }
    const bool result = SendCommand(r, command, &r.last_reply, timeout_ms);
    if (timeout_ms != 0) r.log().WriteLine("   " + r.receiver_name + " > " + r.last_reply);
    return result;
}

std::string ReplyText(const Receiver& r, size_t offset) {
    const std::string text = r.reply.Text();
    if (offset >= text.size()) return {};
    return std::string(TrimWhiteSpace(std::string_view(text).substr(offset)));
}

unsigned RunScript(Receiver& r, std::string_view script, std::string* out) {
    out->clear();
    size_t pos = 0;
    // The next line (to a line feed; text after the last one is not a line), or false.
    auto next_line = [&](std::string* line) {
        for (;;) {
            const size_t lf = script.find('\n', pos);
            if (lf == std::string_view::npos) return false;
            std::string_view raw = script.substr(pos, lf - pos);
            pos = lf + 1;
            while (!raw.empty() && std::isspace(static_cast<unsigned char>(raw.front())))
                raw.remove_prefix(1);
            if (!raw.empty() && raw.front() == '#') continue;
            // The receiver is sent the line in lower case; the Command guards check that form.
            *line = ToLowerAscii(raw);
            return true;
        }
    };
    std::string line;
    if (!next_line(&line) || line.compare(0, 4, "@scr") != 0) return 0;
    bool stop_on_error = false;
    if (const size_t blank = line.find(' '); blank != std::string::npos)
        stop_on_error = TrimWhiteSpace(std::string_view(line).substr(blank + 1)) == "stoperrors";
    unsigned count = 0;
    while (next_line(&line)) {
        // Lines keep their line end's carriage return; the receiver takes either ending.
        while (!line.empty() && (line.back() == '\r')) line.pop_back();
        if (line == "@end") break;
        const bool ok = InternalCommand(r, line, 6000);
        *out += ReplyText(r, 0) + "\n";
        if (r.last_reply == kReplyTimeout) return 0;
        if (!ok && stop_on_error) return 0;
        ++count;
    }
    return count;
}

}  // namespace orvana
