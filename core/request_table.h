#pragma once
// The client request table: name, flags and handler of each of the 18 requests, in the order the
// dispatch searches them. Subsystems declare their handlers in their own headers; the table in
// request_table.cpp names them. A request whose subsystem is not there yet answers
// "ER:Unknown request type".

#include <array>
#include <cstdint>
#include <string_view>

namespace orvana {

class Server;
class ClientSession;

// Leaves the reply text in session.reply (preset to "RE:OK."); the result is the reply's code.
using RequestHandler = unsigned (*)(Server& server, std::string_view args, ClientSession& session,
                                    uint8_t handle);

namespace request_flag {
inline constexpr uint8_t kNeedsReceiver = 0x01;    // handle must name a receiver held open
inline constexpr uint8_t kDuringTransfer = 0x20;   // allowed while a transfer runs
inline constexpr uint8_t kBindsReceiver = 0x40;    // the script engine's current receiver
inline constexpr uint8_t kRefusedInScript = 0x80;  // a script may not issue it
}  // namespace request_flag

struct RequestEntry {
    const char* name;
    uint8_t flags;
    // Refused with "ER:User not open!" until the session has logged in.
    bool needs_login;
    RequestHandler handler;
};

inline constexpr size_t kRequestCount = 18;
extern const std::array<RequestEntry, kRequestCount> kRequestTable;

// The first entry whose name is followed in `text` by a blank or the end; nullptr when none.
// `args` gets the text after the name and its blanks.
const RequestEntry* FindRequest(std::string_view text, std::string_view* args);

// Calls the entry's handler, for a session that has logged in when the entry needs it; any other
// gets "ER:User not open!" and 0. Every request from a client or a script goes through here.
unsigned RunRequest(const RequestEntry& entry, Server& server, std::string_view args,
                    ClientSession& session, uint8_t handle);

// Stand-in for a handler that is not built yet.
unsigned NotYetHandled(Server& server, std::string_view args, ClientSession& session,
                       uint8_t handle);

}  // namespace orvana
