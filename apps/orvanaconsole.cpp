// orvanaconsole: the server of orvanasrv with the operator's window. Same command line; closing
// the window (after its confirmation), SIGTERM or SIGINT run the same orderly shutdown.

#include <QApplication>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "console/console_context.h"
#include "console/main_window.h"
#include "console/screenshots.h"
#include "console/server_bridge.h"
#include "core/launch.h"
#include "platform/signals.h"
#include "platform/sync.h"
#include "receivers/info_poll.h"

int main(int argc, char** argv) {
    orvana::LaunchSettings settings;
    if (auto status = orvana::ParseLaunchArguments(argc, argv, "orvanaconsole", &settings))
        return *status;

    // Before any thread exists, Qt's included, so that only the watcher below takes them.
    orvana::platform::BlockTerminationSignals();
    int qt_argc = 1;
    char* qt_argv[] = {argv[0], nullptr};
    QApplication app(qt_argc, qt_argv);

    std::string error;
    auto launched = orvana::LaunchedServer::Open(std::move(settings), &error);
    if (!launched) {
        std::fprintf(stderr, "orvanaconsole: %s\n", error.c_str());
        return 1;
    }
    orvana::Server& server = launched->server();
    orvana::console::ServerBridge bridge(server);
    if (!launched->Start(&error)) {
        if (!error.empty()) std::fprintf(stderr, "orvanaconsole: %s\n", error.c_str());
        return 1;
    }
    // A window that crashed during a poll left the system user behind.
    orvana::RemoveInfoPollUser(server);
    std::printf("Listening on %s:%u\n", server.listen_address().c_str(),
                static_cast<unsigned>(server.ListenPort()));
    std::fflush(stdout);

    orvana::console::Prompts prompts;
    orvana::console::ConsoleContext context{server, prompts};
    orvana::console::MainWindow window(context, bridge);
    window.show();
    // For the documentation's pictures (scripts/screenshots): takes them, then ends.
    if (const char* folder = std::getenv("ORVANA_SCREENSHOTS"); folder != nullptr && *folder)
        orvana::console::TakeScreenshots(window, context, folder);

    std::atomic<bool> ended{false};
    orvana::platform::Thread watcher([&] {
        while (!ended.load()) {
            const int sig = orvana::platform::PollTerminationSignal(200);
            if (sig == orvana::platform::kReloadSignal) {
                launched->Reload();
            } else if (sig != 0) {
                QMetaObject::invokeMethod(
                    &window, [&window] { window.ShutDown(); }, Qt::QueuedConnection);
                return;
            }
        }
    });
    const int status = app.exec();
    ended = true;
    watcher.Join();
    window.ShutDown();  // the event loop may also end without the window (the session closing)
    std::printf("Server stopped\n");
    return status;
}
