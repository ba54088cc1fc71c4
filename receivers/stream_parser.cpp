// The receiver's byte stream carries replies ("RE"/"ER" + three hex length digits + body) and
// data containers (">>" + length + index + payload + two hex checksum digits) back to back.
// Reads may split a message anywhere or hold several; there may be garbage between messages,
// which is dropped a byte at a time until a header with a non-zero length turns up. Long
// replies come in parts that end in "," or "{" and are merged into one.

#include <cstdio>
#include <cstring>

#include "core/event_log.h"
#include "core/text.h"
#include "receivers/command_engine.h"
#include "receivers/receiver.h"

namespace orvana {
namespace {

// The three-digit length field; any invalid digit makes it 0.
size_t LengthField(const uint8_t* p) {
    size_t v = 0;
    for (int i = 0; i < 3; ++i) {
        const int d = HexDigitValue(static_cast<char>(p[i]));
        if (d < 0) return 0;
        v = v * 16 + static_cast<size_t>(d);
    }
    return v;
}

bool IsHeader(const uint8_t* p) {
    return (p[0] == 'R' && p[1] == 'E') || (p[0] == 'E' && p[1] == 'R') ||
           (p[0] == '>' && p[1] == '>');
}

}  // namespace

void Receiver::ParseStream(size_t n) {
    // ClearInput resets the assembly from other threads; lock order: reply buffer lock, then
    // the attachment lock (taken by the delivery).
    std::lock_guard<std::recursive_mutex> guard(reply.lock());
    uint8_t* buf = assembly();
    if (static_cast<size_t>(assembly_count) + n > kAssemblySize) {
        assembly_count = 0;
        std::memset(buf, 0, kAssemblySize);
        log().WriteLine("Input buffer overflow!!!");
        if (n > kAssemblySize) n = kAssemblySize;
    }
    std::memcpy(buf + assembly_count, input_area.data(), n);
    assembly_count += static_cast<int32_t>(n);

    // `start` walks the assembly; what is left is moved to its front once, at the end.
    size_t start = 0;
    for (;;) {
        size_t p = start;
        size_t count = static_cast<size_t>(assembly_count) - start;
        size_t size = 5;
        while (count >= 5) {
            if (IsHeader(buf + p)) {
                size = 5 + LengthField(buf + p + 2);
                if (size > 5) break;
            }
            ++p;
            --count;
        }
        if (count < 5 || count < size) {
            if (p != 0 && count != 0) std::memmove(buf, buf + p, count);
            assembly_count = static_cast<int32_t>(count);
            return;
        }
        const uint8_t* m = buf + p;
        if (m[0] == '>') {
            const int hi = HexDigitValue(static_cast<char>(m[size - 2])),
                      lo = HexDigitValue(static_cast<char>(m[size - 1]));
            const unsigned stated = (hi < 0 || lo < 0) ? 0u : static_cast<unsigned>(hi * 16 + lo);
            if (size >= 8 && ReceiverChecksum(m, size - 2) == stated) {
                if (context_.traffic != nullptr) Bump(context_.traffic->containers_in);
                if (context_.deliver) context_.deliver(*this, m, size);
            } else {
                if (context_.traffic != nullptr) Bump(context_.traffic->bad_checksums);
                LogStreamBytes(receiver_name + " Bad checksum ", m, size);
            }
        } else {
            if (merge_count == 0) reply.Assign(m, size);
            size_t b = 5;
            if (m[5] == '%') {
                const void* second = std::memchr(m + 6, '%', size - 6);
                if (second != nullptr)
                    b = static_cast<size_t>(static_cast<const uint8_t*>(second) - m) + 1;
            }
            while (b < size && m[b] == ' ') ++b;
            for (size_t i = b; i < size; ++i) {
                if (m[i] == '{') ++brace_balance;
                if (m[i] == '}') --brace_balance;
            }
            const bool continued = m[size - 1] == ',' || m[size - 1] == '{';
            bool complete = true;
            if (continued || merge_count != 0) {
                if (++merge_count > 1 && b < size) reply.Append(m + b, size - b);
                if (continued) complete = false;
            }
            if (complete) {
                if (merge_count != 0) {
                    if (brace_balance != 0) {
                        const std::string text = reply.Text();
                        log().WriteBytes(receiver_name + "--Reply Merge Error -> ", text.data(),
                                         text.size());
                    }
                    const size_t body = reply.Length() - 5;
                    char field[8];
                    if (body < 4095)
                        std::snprintf(field, sizeof field, "%03zx", body);
                    else
                        std::memcpy(field, "FFF", 4);
                    reply.Overwrite(2, field, 3);
                }
                merge_count = 0;
                brace_balance = 0;
                if (awaiting_reply == 0) {
                    // Nobody waits for it: handed on, it would answer the next command.
                    const std::string text = reply.Text();
                    log().WriteBytes(receiver_name + "--More than one reply to command -> ",
                                     text.data(), text.size());
                } else {
                    reply_event.Set();
                }
            }
        }
        start = p + size;
    }
}

}  // namespace orvana
