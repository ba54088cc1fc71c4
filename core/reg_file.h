#pragma once
// The Windows registry editor's text format (.reg), so that a station's configuration moves
// between a Windows machine and this server. Export writes "REGEDIT4" with CRLF line ends and
// single-byte texts; import takes "REGEDIT4" and "Windows Registry Editor Version 5.00", as
// single-byte text, UTF-8 or UTF-16LE with a byte order mark.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvana::platform {
class Hive;
}

namespace orvana {

inline constexpr const char* kRegHivePrefix = "HKEY_LOCAL_MACHINE";

struct RegOperation {
    enum class Kind { CreateKey, DeleteKey, SetText, SetNumber, DeleteValue };
    Kind kind = Kind::CreateKey;
    std::string key;   // hive path without the HKEY_LOCAL_MACHINE prefix
    std::string name;  // value name (empty for the default value "@")
    std::string text;
    uint32_t number = 0;
};

struct RegParseResult {
    bool ok = false;
    std::vector<RegOperation> operations;
    int error_line = 0;  // 1-based, when !ok
    std::string error;   // "line N: ..." when !ok
};

RegParseResult ParseRegFile(std::string_view content);

// Applies every operation in one transaction: all or nothing.
bool ApplyRegOperations(platform::Hive& hive, const std::vector<RegOperation>& operations);

// The key (hive path, empty for the whole hive) with its values and all its subkeys.
// Empty text when the key does not exist.
std::string ExportRegFile(platform::Hive& hive, std::string_view key);

}  // namespace orvana
