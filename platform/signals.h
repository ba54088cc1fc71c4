#pragma once
// Orderly shutdown on SIGTERM and SIGINT: the signals are blocked in every thread and taken by
// one waiting thread, so no handler runs in the middle of server code.

namespace orvana::platform {

// Call before any thread starts, so every thread inherits the mask.
void BlockTerminationSignals();
// Waits for SIGTERM or SIGINT; returns the signal number.
int WaitForTerminationSignal();
// Waits at most `wait_ms` for SIGTERM or SIGINT (blocked beforehand); the signal number, or 0.
int PollTerminationSignal(unsigned wait_ms);

}  // namespace orvana::platform
