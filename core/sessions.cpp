#include "core/sessions.h"

#include "core/client_session.h"
#include "core/server.h"

namespace orvana {

unsigned Chat(Server& server, std::string_view args, ClientSession& session, uint8_t) {
    if (server.hooks().chat_line) {
        server.hooks().chat_line(session, args);
        return 1;
    }
    // Without a console the line goes to the event log, where the operator reads it.
    std::string user;
    {
        std::lock_guard<platform::RecursiveLock> guard(server.clients().lock());
        user = session.user_name;
    }
    server.log().WriteLine("Chat " + session.address + "/" + user + " " + std::string(args));
    return 1;
}

}  // namespace orvana
