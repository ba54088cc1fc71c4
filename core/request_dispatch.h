#pragma once
// Receiving and dispatching client requests. A session's thread calls OnRequestBytes after each
// read; clients inside the server (scripts, the information poll) call DispatchRequest directly.
//
// Requests arrive as plain frames (4 hex digits of text length, 2 of handle, the text) or as
// enciphered "NLG" frames; reads may end anywhere inside a frame, so bytes gather in the
// session's receive buffer until a frame is whole.

#include <cstdint>
#include <string_view>

namespace orvana {

class Server;
class ClientSession;

// session.received new bytes are in session.receive_buffer: handles the frame when it is whole.
void OnRequestBytes(Server& server, ClientSession& session);

// The binary data of the request being handled: the bytes after its text's zero byte up to the
// frame length, which for such a frame counts from the first header character.
std::string_view RequestBinary(const ClientSession& s);

// Runs the request `text` on `handle` as the dispatch does (checks, handler), without sending or
// logging; returns the reply code and leaves the reply text in session.reply. `handle` is
// rewritten to 0 when it is out of range.
unsigned DispatchRequest(Server& server, ClientSession& session, uint8_t& handle,
                         std::string_view text);

}  // namespace orvana
