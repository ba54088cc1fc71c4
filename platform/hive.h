#pragma once
// The local-machine registry hive, kept in one SQLite file.
//
// Key paths are backslash-separated ("Software\\Zelmar\\..."); a leading or trailing backslash is
// ignored. Key and value names compare case-insensitively (ASCII) and keep the spelling they were
// created with. Subkeys enumerate in case-insensitive name order, values in creation order.
// Every write is one transaction; a committed write survives a crash of the process.
// Thread-safe: one connection guarded by a mutex; other processes may use the file at once
// (WAL mode, busy time-out).

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;

namespace orvana::platform {

struct HiveValue {
    enum class Type { Text, Number };
    Type type = Type::Text;
    std::string text;     // when Text
    uint32_t number = 0;  // when Number
};

struct NamedHiveValue {
    std::string name;
    HiveValue value;
};

class Hive {
  public:
    // Opens or creates the store at `path` (created readable by its owner only). A file that
    // exists but is not a store (not SQLite, or another schema), a damaged one (SQLite's quick
    // check fails) or one in a place that cannot be written is refused and left untouched:
    // returns nullptr with `error` set.
    static std::unique_ptr<Hive> Open(const std::string& path, std::string* error);
    ~Hive();
    Hive(const Hive&) = delete;
    Hive& operator=(const Hive&) = delete;

    bool KeyExists(std::string_view key);
    // Creates the key and its missing parents. False only on a store failure.
    bool CreateKey(std::string_view key);
    // Deletes the key with all its subkeys and values. False when it did not exist.
    bool DeleteKey(std::string_view key);

    std::optional<HiveValue> GetValue(std::string_view key, std::string_view name);
    // Set* create the key when needed and replace a value of the same name (keeping its
    // creation position and spelling).
    bool SetText(std::string_view key, std::string_view name, std::string_view text);
    bool SetNumber(std::string_view key, std::string_view name, uint32_t number);
    bool DeleteValue(std::string_view key, std::string_view name);

    // Names as spelled at creation. Empty when the key is missing.
    std::vector<std::string> SubKeys(std::string_view key);
    std::vector<NamedHiveValue> Values(std::string_view key);

    // The key's spelling as stored (for export), nullopt when missing.
    std::optional<std::string> StoredPath(std::string_view key);

    // Runs several writes as one transaction (import). `fn` returns false to roll back.
    template <typename Fn>
    bool Transaction(Fn&& fn) {
        std::lock_guard<std::recursive_mutex> lock(mu_);
        if (!Exec("BEGIN IMMEDIATE")) return false;
        ++tx_depth_;
        bool ok = fn();
        --tx_depth_;
        if (ok && Exec("COMMIT")) return true;
        Exec("ROLLBACK");
        return false;
    }

  private:
    explicit Hive(sqlite3* db);
    bool Exec(const char* sql);
    // Key id, or 0 when missing. REQUIRES: mu_ held.
    int64_t FindKey(std::string_view key);
    int64_t FindOrCreateKey(std::string_view key);
    bool SetValue(std::string_view key, std::string_view name, const HiveValue& value);

    std::recursive_mutex mu_;
    sqlite3* db_;  // owned, closed in the destructor; GUARDED_BY(mu_)
    int tx_depth_ = 0;
};

// Splits a key path into its non-empty components.
std::vector<std::string_view> SplitKeyPath(std::string_view key);

}  // namespace orvana::platform
