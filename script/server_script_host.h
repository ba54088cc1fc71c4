#pragma once
// The server's side of a running script: the scripts folder and the store of the active
// configuration, the event log, and the internal client through which `server(...)` calls the
// request handlers directly.
//
// Lives on the requesting client's thread for one Run request. The internal client belongs to
// that thread for the run; other threads see it only through the client table.

#include <cstdint>
#include <string>
#include <string_view>

#include "script/script_host.h"

namespace orvana {
class Server;
class ClientSession;
}  // namespace orvana

namespace orvana::script {

class ServerScriptHost : public ScriptHost {
  public:
    // The request table entries a script may reach: the rest (Run, DetectRcv) are unknown.
    static constexpr size_t kScriptRequests = 16;
    static constexpr uint32_t kSleepSliceMs = 50;

    ServerScriptHost(Server& server, ClientSession& requester, ClientSession& client);

    FileRead ReadScriptFile(std::string_view name, size_t limit, std::string* text) override;
    std::string ReadConfigText(std::string_view key, std::string_view name) override;
    std::string Request(std::string_view line) override;
    void LogStamped(std::string_view text) override;
    void LogPlain(std::string_view text) override;
    bool Sleep(uint32_t ms) override;
    bool Interrupted() override;

    // The receiver the script opened, 0 when none.
    uint8_t current_handle() const { return handle_; }
    // Closes the receiver a script left open, as its own CloseRcv would.
    void CloseLeftOpen();

  private:
    Server& server_;
    ClientSession& requester_;
    ClientSession& client_;
    uint8_t handle_ = 0;
};

}  // namespace orvana::script
