#pragma once
// Whole-file reads and writes and the program's own folder.

#include <string>

namespace orvana::platform {

// The folder of the running executable, ending in '/'. "./" when it cannot be found.
std::string ExecutableDirectory();

// Reads the whole file. False with `error` set ("PATH: reason") on failure.
bool ReadWholeFile(const std::string& path, std::string* content, std::string* error);

// Writes the whole file (created or truncated). False with `error` set on failure.
bool WriteWholeFile(const std::string& path, const std::string& content, std::string* error);

}  // namespace orvana::platform
