#pragma once
// Process limits the server and its load tools raise for themselves.

#include <cstddef>

namespace orvana::platform {

// Raises the soft limit of open descriptors to the hard limit (a caster with a thousand rovers
// needs more than the usual 1024). The limit now in force.
size_t RaiseOpenFileLimit();

}  // namespace orvana::platform
