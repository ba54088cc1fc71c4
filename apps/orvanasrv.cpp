// orvanasrv: the reference-station server. Headless, it runs until SIGTERM or SIGINT, which run
// the same orderly shutdown as closing the operator's window; SIGHUP is the operator's reload.
//
// On standard output it prints "Listening on ADDRESS:PORT" once the listener is open (PortServer
// "0" takes a free port, which is how tests run servers side by side); a listener that cannot be
// opened prints the reported text on standard error and the server runs on without one.

#include <cstdio>
#include <string>

#include "core/launch.h"
#include "platform/signals.h"

int main(int argc, char** argv) {
    orvana::LaunchSettings settings;
    if (auto status = orvana::ParseLaunchArguments(argc, argv, "orvanasrv", &settings))
        return *status;

    // Before any thread exists, so that only the wait below takes the signals.
    orvana::platform::BlockTerminationSignals();
    std::string error;
    auto launched = orvana::LaunchedServer::Open(std::move(settings), &error);
    if (!launched) {
        std::fprintf(stderr, "orvanasrv: %s\n", error.c_str());
        return 1;
    }
    if (!launched->Start(&error)) {
        if (!error.empty()) std::fprintf(stderr, "orvanasrv: %s\n", error.c_str());
        return 1;
    }
    orvana::Server& server = launched->server();
    std::printf("Listening on %s:%u\n", server.listen_address().c_str(),
                static_cast<unsigned>(server.ListenPort()));
    std::fflush(stdout);

    while (orvana::platform::WaitForTerminationSignal() == orvana::platform::kReloadSignal)
        launched->Reload();
    server.StopServer();
    std::printf("Server stopped\n");
    return 0;
}
