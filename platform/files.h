#pragma once
// Whole-file reads and writes and the program's own folder.

#include <cstddef>
#include <string>

namespace orvana::platform {

// The folder of the running executable, ending in '/'. "./" when it cannot be found.
std::string ExecutableDirectory();

// Reads the whole file. False with `error` set ("PATH: reason") on failure.
bool ReadWholeFile(const std::string& path, std::string* content, std::string* error);

enum class BoundedRead { Ok, Missing, TooBig };
// Reads a regular file of at most `limit` bytes. Anything else (missing, a folder, a device or
// pipe that could block) is Missing; a longer file is TooBig and is not read.
BoundedRead ReadRegularFile(const std::string& path, size_t limit, std::string* content);

// Writes the whole file (created or truncated). False with `error` set on failure.
bool WriteWholeFile(const std::string& path, const std::string& content, std::string* error);

}  // namespace orvana::platform
