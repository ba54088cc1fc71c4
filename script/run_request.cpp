#include "script/run_request.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "core/client_session.h"
#include "core/login.h"
#include "core/server.h"
#include "core/text.h"
#include "script/script_interpreter.h"
#include "script/server_script_host.h"

namespace orvana {
namespace {

// The Script user exists while any script of the server runs: the last run to end removes it,
// so one run ending does not log out another that is still going.
class ScriptUser {
  public:
    explicit ScriptUser(Server& server) : server_(server) {
        std::lock_guard<std::mutex> guard(mu_);
        ++runs_[&server_];
        WriteSystemUser(server_, kScriptUser);
    }
    ~ScriptUser() {
        std::lock_guard<std::mutex> guard(mu_);
        if (--runs_[&server_] > 0) return;
        runs_.erase(&server_);
        std::string users = server_.users_path();
        if (!users.empty() && users.back() == '\\') users.pop_back();
        for (const std::string& name : server_.store().SubKeys(users))
            if (EqualsNoCaseAscii(name, kScriptUser))
                server_.store().DeleteKey(server_.users_path() + name);
    }
    ScriptUser(const ScriptUser&) = delete;
    ScriptUser& operator=(const ScriptUser&) = delete;

  private:
    Server& server_;
    static std::mutex mu_;
    static std::map<Server*, int> runs_;  // GUARDED_BY(mu_)
};

std::mutex ScriptUser::mu_;
std::map<Server*, int> ScriptUser::runs_;

}  // namespace

unsigned Run(Server& server, std::string_view args, ClientSession& session, uint8_t) {
    // A script logs in as the built-in Script user, with every receiver and full rights; the
    // dispatch lets only a client that has logged in itself start one.
    std::shared_ptr<ClientSession> client = server.clients().AllocateSession(0);
    if (!client) {
        session.reply = "ER:Don't have place for client";
        return 0;
    }
    {
        std::lock_guard<platform::RecursiveLock> guard(server.clients().lock());
        client->internal = true;
        client->remote = false;
    }
    int result;
    std::string output;
    bool declaration_failed;
    unsigned state;
    {
        ScriptUser user(server);
        script::ServerScriptHost host(server, session, *client);
        script::ScriptInterpreter interpreter(host);
        result = interpreter.LoadAndRun(args);
        host.CloseLeftOpen();
        server.ReleaseSession(client->slot_index);
        output = interpreter.output();
        declaration_failed = interpreter.stopped_in_declaration();
        state = interpreter.state();
    }
    // A script that never ran must not answer like one that did, with nothing to say why.
    if (declaration_failed) output = "ER:" + std::string(script::StateText(state));
    session.reply = std::move(output);
    return result > 0 && !declaration_failed ? 1 : 0;
}

}  // namespace orvana
