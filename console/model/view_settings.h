#pragma once
// Settings of the console that it repairs in the store when they are missing or out of range.

#include <cstdint>

namespace orvana {
class ConfigStore;
}

namespace orvana::console {

// ViewMaxLine: the lines the log view keeps; 0 or missing means 250, which is written back.
uint32_t ViewMaxLines(const ConfigStore& store);

}  // namespace orvana::console
