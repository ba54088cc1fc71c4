#pragma once
// The six access functions of the configuration store. Each opens the key, does one read or
// write and closes it again: nothing is cached, a failed read gives the default, a failed write
// returns false (callers that answer a client report it; the others carry on). Paths are relative
// to the store's base key (the active configuration, or the configuration root for AtRoot()); an
// empty path is the base key itself. Thread-safe.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/config_keys.h"

namespace orvana::platform {
class Hive;
}

namespace orvana {

// Read-only reads leave a missing key missing; creating reads create the key first.
enum class KeyAccess { ReadOnly, Create };

class ConfigStore {
  public:
    // The hive is borrowed and must outlive the store. The base starts as the root key + "Main\".
    explicit ConfigStore(platform::Hive& hive);

    // Fixes the active configuration: base := root + name + "\". Start-up only.
    void SetActiveConfiguration(std::string_view name);
    const std::string& ActiveConfiguration() const { return config_name_; }
    // Absolute path of the base key, ending in a backslash.
    const std::string& BaseKey() const { return base_; }

    // A view of the same hive rooted at the configuration root (CurrentConfig, LogFile).
    ConfigStore AtRoot() const;

    uint32_t ReadNumber(std::string_view path, std::string_view name, uint32_t fallback,
                        KeyAccess access = KeyAccess::ReadOnly) const;
    std::string ReadText(std::string_view path, std::string_view name, std::string_view fallback,
                         KeyAccess access = KeyAccess::ReadOnly) const;
    bool ReadFlag(std::string_view path, std::string_view name, bool fallback,
                  KeyAccess access = KeyAccess::ReadOnly) const;
    bool WriteText(std::string_view path, std::string_view name, std::string_view text) const;
    bool WriteFlag(std::string_view path, std::string_view name, bool value) const;
    bool WriteNumber(std::string_view path, std::string_view name, uint32_t number) const;
    // Runs `writes` as one transaction: everything it wrote is kept, or nothing when it returns
    // false or the commit fails. The result says which.
    bool WriteTogether(const std::function<bool()>& writes) const;

    // The same with a setting of config_keys.h supplying name and default.
    uint32_t ReadNumber(std::string_view path, const cfg::NumberSetting& s,
                        KeyAccess access = KeyAccess::ReadOnly) const {
        return ReadNumber(path, s.name, s.fallback, access);
    }
    std::string ReadText(std::string_view path, const cfg::TextSetting& s,
                         KeyAccess access = KeyAccess::ReadOnly) const {
        return ReadText(path, s.name, s.fallback, access);
    }
    bool ReadFlag(std::string_view path, const cfg::FlagSetting& s,
                  KeyAccess access = KeyAccess::ReadOnly) const {
        return ReadFlag(path, s.name, s.fallback, access);
    }

    // Key helpers for the enumerating Parts (receiver and user lists, deletion).
    bool KeyExists(std::string_view path) const;
    std::vector<std::string> SubKeys(std::string_view path) const;
    bool DeleteKey(std::string_view path) const;
    bool DeleteValue(std::string_view path, std::string_view name) const;
    // Creates `to` with a copy of every value of `from` (a rename's first half), in one
    // transaction. False when `from` is missing or the store failed.
    bool CopyValues(std::string_view from, std::string_view to) const;

    platform::Hive& hive() const { return *hive_; }

  private:
    ConfigStore(platform::Hive& hive, std::string base, std::string name);
    std::string Absolute(std::string_view path) const;

    platform::Hive* hive_;
    std::string base_;
    std::string config_name_;
};

}  // namespace orvana
