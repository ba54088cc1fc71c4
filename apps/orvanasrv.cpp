// orvanasrv: the reference-station server. Headless, it runs until SIGTERM or SIGINT, which run
// the same orderly shutdown as closing the operator's window.
//
// On standard output it prints "Listening on ADDRESS:PORT" once the listener is open (PortServer
// "0" takes a free port, which is how tests run servers side by side); a listener that cannot be
// opened prints the reported text on standard error and the server runs on without one.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/config_store.h"
#include "core/server.h"
#include "platform/files.h"
#include "platform/hive.h"
#include "platform/signals.h"
#include "links/receiver_detection.h"
#include "receivers/receiver_table.h"
#include "transfer/transfer_session.h"

namespace {

constexpr const char* kUsage =
    "usage: orvanasrv [--headless] [--home DIR] [--store FILE] [--ports DIR]\n"
    "                 [--time-server HOST[:PORT]|off] [--version] [CONFIG]\n";

// Test hooks: shorter periods in milliseconds, never needed in production.
void ApplyTimingOverrides(orvana::ServerOptions& o) {
    auto read = [](const char* name, uint32_t& into) {
        if (const char* v = std::getenv(name))
            into = static_cast<uint32_t>(std::strtoul(v, nullptr, 10));
    };
    read("ORVANA_FIRST_FRAME_MS", o.first_frame_wait_ms);
    read("ORVANA_KEEPALIVE_FIRST_MS", o.keepalive_first_ms);
    read("ORVANA_KEEPALIVE_PERIOD_MS", o.keepalive_period_ms);
    read("ORVANA_SEND_LIMIT_MS", o.send_limit_ms);
    read("ORVANA_SHUTDOWN_PAUSE_MS", o.shutdown_pause_ms);
    read("ORVANA_COMMAND_REPLY_MS", o.command_reply_ms);
    read("ORVANA_BIND_RETRY_MS", o.bind_retry_ms);
    read("ORVANA_TRANSFER_WAIT_MS", o.transfer_wait_ms);
    read("ORVANA_MODEM_DIAL_MS", o.modem_dial_ms);
    if (const char* v = std::getenv("ORVANA_CLOCK_DRY_RUN"); v && *v == '1') {
        // Reports the time it would set instead of setting it, on a clock that the system
        // keeps synchronised only when ORVANA_CLOCK_SYNCHRONISED is 1.
        o.set_clock = [](const orvana::platform::LocalTime& t) {
            std::printf("Clock would be set to %s\n", orvana::platform::FormatTimestamp(t).c_str());
            std::fflush(stdout);
            return true;
        };
        const char* synced = std::getenv("ORVANA_CLOCK_SYNCHRONISED");
        const bool is_synced = synced != nullptr && *synced == '1';
        o.clock_synchronised = [is_synced] { return is_synced; };
    }
}

}  // namespace

int main(int argc, char** argv) {
    orvana::ServerOptions options;
    std::string home = orvana::platform::ExecutableDirectory();
    std::string store_path;
    std::string time_server;
    std::string command_line;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string* into) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "orvanasrv: %s needs a value\n%s", a.c_str(), kUsage);
                std::exit(2);
            }
            *into = argv[++i];
        };
        if (a == "--headless") {
            // The only mode until the console exists.
        } else if (a == "--home") {
            value(&home);
        } else if (a == "--store") {
            value(&store_path);
        } else if (a == "--ports") {
            value(&options.ports_folder);
        } else if (a == "--time-server") {
            value(&time_server);
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("orvanasrv %s\n", orvana::cfg::kVersionText);
            return 0;
        } else if (a.size() > 1 && a[0] == '-') {
            // A mistyped option must not become the configuration's name.
            std::fprintf(stderr, "orvanasrv: unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        } else {
            if (!command_line.empty()) command_line += ' ';
            command_line += a;
        }
    }
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    if (store_path.empty()) store_path = home + "/orvanasrv.db";
    if (options.ports_folder.empty()) options.ports_folder = home + "/ports";

    std::string error;
    std::unique_ptr<orvana::platform::Hive> hive = orvana::platform::Hive::Open(store_path, &error);
    if (!hive) {
        std::fprintf(stderr, "orvanasrv: %s\n", error.c_str());
        return 1;
    }
    orvana::ConfigStore store(*hive);

    options.home = home;
    options.time_server = time_server;
    ApplyTimingOverrides(options);

    // Before any thread exists, so that only the wait below takes the signals.
    orvana::platform::BlockTerminationSignals();
    orvana::Server server(store, options);
    orvana::InstallReceivers(server);
    orvana::InstallTransfers(server);
    orvana::InstallDetection(server);
    if (!server.StartServer(command_line)) {
        if (!server.listen_failure().empty())
            std::fprintf(stderr, "orvanasrv: %s\n", server.listen_failure().c_str());
        return 1;
    }
    std::printf("Listening on %s:%u\n", server.listen_address().c_str(),
                static_cast<unsigned>(server.ListenPort()));
    std::fflush(stdout);

    orvana::platform::WaitForTerminationSignal();
    server.StopServer();
    std::printf("Server stopped\n");
    return 0;
}
