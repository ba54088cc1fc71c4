#include "core/request_dispatch.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/client_session.h"
#include "core/log_redaction.h"
#include "core/request_framer.h"
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
    session.NoteRequest(text);
    const bool known_handle = handle <= session.handle_count;
    if (known_handle) {
        std::snprintf(line, sizeof line, "> Rcv=%u ", handle);
        server.log().WriteLine("Client=" + session.address + line + RedactRequest(text));
    }
    unsigned code = DispatchRequest(server, session, handle, text);
    // A client that sends requests faster than it reads the replies waits for them.
    if (server.SendReply(session.slot_index, handle, 0, code & 0xFFFF, session.reply))
        server.PaceSends(session);
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
    RequestFrame frame;
    switch (TakeRequestFrame(session.receive_buffer.data(), &session.received, &session.discard,
                             &frame)) {
        case RequestFrameStep::kNeedMore:
            return;
        case RequestFrameStep::kBadCipher:
            server.SendReply(session.slot_index, 0, 0, 0, "ER:Error uncript");
            server.log().WriteLine(" Client=" + session.address + "ER:Error uncript");
            return;
        case RequestFrameStep::kFrame:
            break;
    }
    session.frame_length = static_cast<uint16_t>(frame.length);
    session.request_size = frame.bytes;
    HandleRequest(server, session, frame.bytes);
}

}  // namespace orvana
