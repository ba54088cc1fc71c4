#pragma once
// The two port settings the server manages on a serial receiver: finding the line speed the
// receiver answers at (and moving it to the configured one), and switching RTS/CTS on both
// ends.

#include <cstdint>

namespace orvana {

class Receiver;

// The speed found, or 0. With `first_only` only the configured speed is tried. With
// `adopt_configured` a receiver found at another speed is moved to the configured one.
uint32_t SpeedSearch(Receiver& r, bool first_only, bool adopt_configured = true);

bool ChangeFlowControl(Receiver& r, bool on);

}  // namespace orvana
