#include "platform/signals.h"

#include <signal.h>

namespace orvana::platform {
namespace {
sigset_t TerminationSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}
}  // namespace

void BlockTerminationSignals() {
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

}  // namespace orvana::platform
