#pragma once
// The two transports. Each serves one host at a time until SIGTERM or SIGINT; the return value
// is the program's exit status.

#include "apps/orvanasim/options.h"
#include "apps/orvanasim/sim_log.h"

namespace orvana::sim {

int ServeTcp(const Options& options, Transcript* transcript);
int ServePty(const Options& options, Transcript* transcript);

// True once a termination signal has arrived (polled, never waits long).
bool StopRequested(unsigned wait_ms = 0);

}  // namespace orvana::sim
