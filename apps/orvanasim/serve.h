#pragma once
// The transports, served until SIGTERM or SIGINT: the pty and the USB device have one host, TCP
// up to eight at once, each on its own thread (a file transfer needs a second connection); the
// return value is the program's exit status.

#include "apps/orvanasim/options.h"
#include "apps/orvanasim/sim_log.h"

namespace orvana::sim {

int ServeTcp(const Options& options, Transcript* transcript);
int ServePty(const Options& options, Transcript* transcript);
int ServeUsb(const Options& options, Transcript* transcript);

// True once a termination signal has arrived (polled, never waits long). Takes the flood
// switches on the way.
bool StopRequested(unsigned wait_ms = 0);
// SIGUSR1 has switched flooding on, and no SIGUSR2 off again since.
bool FloodSwitchedOn();

}  // namespace orvana::sim
