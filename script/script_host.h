#pragma once
// What a running script needs from the world around it. The server supplies one bound to its
// store, event log and an internal client (server_script_host.h); tests supply their own, so
// the interpreter runs without sockets, receivers or a store.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvana::script {

enum class FileRead { Ok, Missing, TooBig };

class ScriptHost {
  public:
    virtual ~ScriptHost() = default;

    // Reads `name` below the scripts folder, at most `limit` bytes. Names that would leave the
    // folder are Missing.
    virtual FileRead ReadScriptFile(std::string_view name, size_t limit, std::string* text) = 0;

    // A text value of the store below the active configuration ("" for the key itself); empty
    // when absent.
    virtual std::string ReadConfigText(std::string_view key, std::string_view name) = 0;

    // Runs one request line as the internal client and returns the reply text it left.
    virtual std::string Request(std::string_view line) = 0;

    virtual void LogStamped(std::string_view text) = 0;  // an event log line with time stamp
    virtual void LogPlain(std::string_view text) = 0;    // an event log line without one

    // Sleeps; false when the run is to stop instead (the requester left, the server stops).
    virtual bool Sleep(uint32_t ms) = 0;
    // Polled now and then by the run loop: true when the run is to stop.
    virtual bool Interrupted() = 0;
};

}  // namespace orvana::script
