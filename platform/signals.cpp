#include "platform/signals.h"

#include <signal.h>

#include <cerrno>
#include <ctime>

namespace orvana::platform {
namespace {
static_assert(kSwitchOnSignal == SIGUSR1 && kSwitchOffSignal == SIGUSR2 && kReloadSignal == SIGHUP);

bool switches_blocked = false;  // set before any thread starts

sigset_t TerminationSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    if (switches_blocked) {
        sigaddset(&set, SIGUSR1);
        sigaddset(&set, SIGUSR2);
    }
    return set;
}
}  // namespace

void BlockTerminationSignals(bool with_switches) {
    switches_blocked = with_switches;
    sigset_t set = TerminationSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    // Sends use MSG_NOSIGNAL; ignoring SIGPIPE also covers writes to pipes (standard output).
    signal(SIGPIPE, SIG_IGN);
}

int WaitForTerminationSignal() {
    sigset_t set = TerminationSet();
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) == 0) return sig;
    }
}

int PollTerminationSignal(unsigned wait_ms) {
    sigset_t set = TerminationSet();
    timespec limit{static_cast<time_t>(wait_ms / 1000),
                   static_cast<long>(wait_ms % 1000) * 1000000L};
    for (;;) {
        int sig = sigtimedwait(&set, nullptr, &limit);
        if (sig > 0) return sig;
        if (errno != EINTR) return 0;
    }
}

}  // namespace orvana::platform
