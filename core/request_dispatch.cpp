#include "core/request_dispatch.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/client_session.h"
#include "core/log_redaction.h"
#include "core/request_table.h"
#include "core/server.h"
#include "core/server_frames.h"
#include "core/text.h"

namespace orvana {
namespace {

void HandleRequest(Server& server, ClientSession& session, size_t received) {
    const char* buffer = session.receive_buffer.data();
    uint8_t handle = static_cast<uint8_t>(ParseHexField(buffer + 4, 2));
    // The text runs to the zero byte put after the received bytes.
    std::string_view text(buffer + 6, strnlen(buffer + 6, received - 6));
    char line[64];
    const bool known_handle = handle <= session.handle_count;
    if (known_handle) {
        std::snprintf(line, sizeof line, "> Rcv=%u ", handle);
        server.log().WriteLine("Client=" + session.address + line + RedactRequest(text));
    }
    unsigned code = DispatchRequest(server, session, handle, text);
    server.SendReply(session.slot_index, handle, 0, code & 0xFFFF, session.reply);
    std::snprintf(line, sizeof line, "< Rcv=%u ", handle);
    server.log().WriteLine("Client=" + session.address + line + RedactReply(text, session.reply));
}

// Other threads close handles (a reset, a lost receiver) under the receiver table lock.
bool HoldsReceiver(Server& server, const ClientSession& session, uint8_t handle) {
    std::lock_guard<platform::RecursiveLock> guard(server.receiver_table_lock());
    return handle != 0 && handle < session.handle_table.size() && session.handle_table[handle];
}

// A gate of another server passes its client's whole request frame on as the text of its own
// request. The inner header goes: the request acts on the handle the gate sent it on, which is
// the gate's receiver here, not the handle the client used over there.
std::string_view PassedOnRequest(std::string_view text) {
    if (text.size() < 6) return text;
    for (size_t i = 0; i < 6; ++i)
        if (HexDigitValue(text[i]) < 0) return text;
    if (ParseHexField(text.data(), 4) != text.size() - 6) return text;
    return text.substr(6);
}

}  // namespace

std::string_view RequestBinary(const ClientSession& s) {
    const char* buffer = s.receive_buffer.data();
    const size_t size = std::min(s.request_size, ClientSession::kReceiveBufferSize);
    if (size <= 6) return {};
    const size_t text = strnlen(buffer + 6, size - 6);
    const size_t start = 6 + text + 1;
    const size_t end = std::min<size_t>(s.frame_length, size);
    return start < end ? std::string_view(buffer + start, end - start) : std::string_view();
}

unsigned DispatchRequest(Server& server, ClientSession& session, uint8_t& handle,
                         std::string_view text) {
    if (handle > session.handle_count) {
        char reply[64];
        std::snprintf(reply, sizeof reply, "ER:Unknown receiver #%u!", handle);
        session.reply = reply;
        handle = 0;
        return 0;
    }
    session.reply = "ER:Unknown request type";
    text = PassedOnRequest(text);
    std::string_view args;
    const RequestEntry* entry = FindRequest(text, &args);
    if (entry == nullptr) return 0;
    if (handle != 0 && !(entry->flags & request_flag::kDuringTransfer) &&
        server.hooks().transfer_busy && server.hooks().transfer_busy(session, handle)) {
        session.reply = "ER:Download in progress";
        return 0;
    }
    if ((entry->flags & request_flag::kNeedsReceiver) && !HoldsReceiver(server, session, handle)) {
        session.reply = "ER:Receiver not open!";
        return 0;
    }
    session.reply = "RE:OK.";
    return RunRequest(*entry, server, args, session, handle);
}

void OnRequestBytes(Server& server, ClientSession& session) {
    char* buffer = session.receive_buffer.data();
    size_t& r = session.received;
    if (session.discard > 0) {
        const size_t n = std::min(session.discard, r);
        std::memmove(buffer, buffer + n, r - n);
        r -= n;
        session.discard -= n;
    }
    if (r < 6) return;
    if (std::memcmp(buffer + 3, "NLG", 3) == 0) {
        // Wait for the rest only of a frame that can fit the buffer; one that cannot (or a
        // header that makes no sense) is refused now rather than waited for.
        const size_t total = EncipheredLength(buffer);
        if (total > r && total >= 6 && total < ClientSession::kReceiveBufferSize) return;
        size_t plain = DecipherRequest(buffer, r, ClientSession::kSessionKey);
        if (plain == 0) {
            if (total > r) session.discard = total - r;
            r = 0;
            std::memset(buffer, 0, ClientSession::kReceiveBufferSize);
            server.SendReply(session.slot_index, 0, 0, 0, "ER:Error uncript");
            server.log().WriteLine(" Client=" + session.address + "ER:Error uncript");
            return;
        }
        r = plain;
        if (r < 6) {
            r = 0;
            return;
        }
    }
    const size_t length = ParseHexField(buffer, 4);
    // The whole text must be there: a frame split by the network is not handled half-read. A
    // frame that carries binary data after its text's zero byte counts its header in its length.
    const bool binary = std::memchr(buffer + 6, 0, r - 6) != nullptr;
    if (length + 6 > r && !(binary && length <= r)) return;
    buffer[r] = 0;
    const size_t received = r;
    r = 0;
    session.frame_length = static_cast<uint16_t>(length);
    session.request_size = received;
    HandleRequest(server, session, received);
}

}  // namespace orvana
