#pragma once
// The ports folder stands for the system's serial device list: an entry COMn (a symbolic link to
// the device) makes port n known.

#include <string>
#include <vector>

namespace orvana::platform {

// Names of the COMn entries of `folder` ("COM1", "COM3", ...) in number order. Empty when the
// folder is missing.
std::vector<std::string> ListComPorts(const std::string& folder);

// "COM" and a number from 1 to 255.
bool IsComPortName(const std::string& name);

// Makes `folder`/`name` a link to `device` (replacing what was there), creating the folder.
// False with `error` set.
bool LinkComPort(const std::string& folder, const std::string& name, const std::string& device,
                 std::string* error);
// Removes the entry; false with `error` set when there was none or it could not go.
bool UnlinkComPort(const std::string& folder, const std::string& name, std::string* error);

// Where `folder`/`name` points ("" when it is no link), and whether that device is there.
struct ComPortLink {
    std::string name;
    std::string device;
    bool present = false;
};
ComPortLink ReadComPortLink(const std::string& folder, const std::string& name);

}  // namespace orvana::platform
