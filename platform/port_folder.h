#pragma once
// The ports folder stands for the system's serial device list: an entry COMn (a symbolic link to
// the device) makes port n known.

#include <string>
#include <vector>

namespace orvana::platform {

// Names of the COMn entries of `folder` ("COM1", "COM3", ...) in number order. Empty when the
// folder is missing.
std::vector<std::string> ListComPorts(const std::string& folder);

}  // namespace orvana::platform
