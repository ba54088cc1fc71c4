#pragma once
// Orderly shutdown on SIGTERM and SIGINT, and the operator's reload on SIGHUP: the signals are
// blocked in every thread and taken by one waiting thread, so no handler runs in the middle of
// server code. A program without a reload takes SIGHUP (its terminal gone) as the end.

namespace orvana::platform {

// SIGUSR1 and SIGUSR2: run-time switches of a program that asks for them (BlockTerminationSignals
// with `with_switches`); PollTerminationSignal then returns them too.
inline constexpr int kSwitchOnSignal = 10;
inline constexpr int kSwitchOffSignal = 12;
inline constexpr int kReloadSignal = 1;     // SIGHUP
inline constexpr int kInterruptSignal = 2;  // SIGINT

// Call before any thread starts, so every thread inherits the mask.
void BlockTerminationSignals(bool with_switches = false);
// Waits for SIGTERM, SIGINT or SIGHUP; returns the signal number.
int WaitForTerminationSignal();
// Waits at most `wait_ms` for a blocked signal; the signal number, or 0.
int PollTerminationSignal(unsigned wait_ms);

}  // namespace orvana::platform
