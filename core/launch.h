#pragma once
// What orvanasrv and orvanaconsole share: their command line, and the store and server that it
// names, opened and started the same way.

#include <memory>
#include <optional>
#include <string>

#include "core/config_store.h"
#include "core/server.h"
#include "platform/hive.h"

namespace orvana::ntrip {
class Caster;
}
namespace orvana::admin {
class MetricsEndpoint;
}

namespace orvana {

struct LaunchSettings {
    ServerOptions options;
    std::string store_path;
    std::string command_line;  // the configuration's name and whatever follows it
};

// Parses the arguments after the program's name. An exit status when the program is to end now
// (help, version, a mistake, reported on the standard streams), else nullopt and `out` filled.
std::optional<int> ParseLaunchArguments(int argc, char** argv, const char* program,
                                        LaunchSettings* out);

// The store and the server on it, with every subsystem installed.
class LaunchedServer {
  public:
    // Nullptr with `error` set when the store cannot be opened.
    static std::unique_ptr<LaunchedServer> Open(LaunchSettings settings, std::string* error);
    ~LaunchedServer();

    // False when the process is to end at once; `error` then says why, when anything does.
    bool Start(std::string* error);
    // The operator's reload (SIGHUP): the event log goes on in a new file, and the receiver
    // table follows the store's enabled receivers, with every client told. Any thread.
    void Reload();
    Server& server() { return *server_; }
    ConfigStore& store() { return *store_; }
    const LaunchSettings& settings() const { return settings_; }

  private:
    LaunchedServer() = default;
    void StartCaster();
    void StartMetrics();
    LaunchSettings settings_;
    std::unique_ptr<platform::Hive> hive_;
    std::unique_ptr<ConfigStore> store_;
    std::unique_ptr<ntrip::Caster> caster_;            // outlives the server, whose stop ends it
    std::unique_ptr<admin::MetricsEndpoint> metrics_;  // the same
    std::unique_ptr<Server> server_;
};

}  // namespace orvana
