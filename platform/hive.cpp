#include "platform/hive.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/env.h"

namespace orvana::platform {
namespace {

constexpr const char* kSchemaName = "orvana-hive";
constexpr const char* kSchemaVersion = "1";
constexpr int64_t kRootId = 1;
constexpr int kBusyTimeoutMs = 10000;

// Names compare as the registry compares them: case-insensitively after upper-casing, ASCII and
// the letters of code page 1251.
std::string Fold(std::string_view name) {
    std::string out(name);
    for (char& c : out) {
        auto b = static_cast<unsigned char>(c);
        if (b >= 'a' && b <= 'z')
            b = static_cast<unsigned char>(b - 32);
        else if (b >= 0xE0)
            b = static_cast<unsigned char>(b - 32);
        else if (b == 0xB8)  // yo
            b = 0xA8;
        c = static_cast<char>(b);
    }
    return out;
}

// A prepared statement that finalizes itself.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql) {
        ok_ = sqlite3_prepare_v2(db, sql, -1, &st_, nullptr) == SQLITE_OK;
    }
    ~Statement() { sqlite3_finalize(st_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return ok_; }
    Statement& Bind(int i, int64_t v) {
        if (ok_) ok_ = sqlite3_bind_int64(st_, i, v) == SQLITE_OK;
        return *this;
    }
    Statement& Bind(int i, std::string_view v) {
        // Texts are bytes: stored as blobs so that no encoding is assumed.
        if (ok_)
            ok_ = sqlite3_bind_blob(st_, i, v.data(), static_cast<int>(v.size()),
                                    SQLITE_TRANSIENT) == SQLITE_OK;
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int Step() { return ok_ ? sqlite3_step(st_) : SQLITE_ERROR; }
    bool Run() { return Step() == SQLITE_DONE; }
    int64_t Int(int col) { return sqlite3_column_int64(st_, col); }
    int Type(int col) { return sqlite3_column_type(st_, col); }
    std::string Text(int col) {
        const void* p = sqlite3_column_blob(st_, col);
        int n = sqlite3_column_bytes(st_, col);
        return p ? std::string(static_cast<const char*>(p), static_cast<size_t>(n)) : std::string();
    }

  private:
    sqlite3_stmt* st_ = nullptr;
    bool ok_ = false;
};

bool ExecSql(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// Keeps a write as one transaction unless one is already open.
class WriteScope {
  public:
    WriteScope(sqlite3* db, bool nested) : db_(db), nested_(nested) {
        ok_ = nested_ || ExecSql(db_, "BEGIN IMMEDIATE");
    }
    ~WriteScope() {
        if (!nested_ && ok_ && !done_) ExecSql(db_, "ROLLBACK");
    }
    bool ok() const { return ok_; }
    bool Commit() {
        done_ = true;
        if (nested_) return true;
        if (ExecSql(db_, "COMMIT")) return true;
        ExecSql(db_, "ROLLBACK");
        return false;
    }

  private:
    sqlite3* db_;
    bool nested_;
    bool ok_ = false;
    bool done_ = false;
};

const char* kCreateSchema =
    "CREATE TABLE meta(name TEXT PRIMARY KEY, value TEXT);"
    "CREATE TABLE hkey(id INTEGER PRIMARY KEY, parent INTEGER REFERENCES hkey(id) ON DELETE "
    "CASCADE,"
    " name BLOB NOT NULL, fold BLOB NOT NULL, UNIQUE(parent, fold));"
    "CREATE TABLE hvalue(id INTEGER PRIMARY KEY, hkey INTEGER NOT NULL REFERENCES hkey(id) ON "
    "DELETE CASCADE,"
    " name BLOB NOT NULL, fold BLOB NOT NULL, type INTEGER NOT NULL, data, UNIQUE(hkey, fold));"
    "INSERT INTO hkey(id, parent, name, fold) VALUES(1, NULL, x'', x'');";

// Checks that the file holds our schema, or is empty and can be given it.
bool PrepareSchema(sqlite3* db, std::string* error) {
    Statement tables(db, "SELECT count(*) FROM sqlite_master");
    if (tables.Step() != SQLITE_ROW) {
        *error = "not a configuration store (" + std::string(sqlite3_errmsg(db)) + ")";
        return false;
    }
    if (tables.Int(0) == 0) {
        std::string sql = std::string("BEGIN IMMEDIATE;") + kCreateSchema +
                          "INSERT INTO meta VALUES('schema', '" + kSchemaName + "');" +
                          "INSERT INTO meta VALUES('version', '" + kSchemaVersion + "');COMMIT;";
        if (!ExecSql(db, sql.c_str())) {
            ExecSql(db, "ROLLBACK");
            // Another process may have created it at the same moment: check again below.
        }
    }
    Statement meta(db, "SELECT value FROM meta WHERE name = 'schema'");
    if (!meta.ok() || meta.Step() != SQLITE_ROW || meta.Text(0) != kSchemaName) {
        *error = "not a configuration store (foreign database schema)";
        return false;
    }
    return true;
}

// The store writes its file and, beside it, its journal: both places must take writes.
bool WritableLocation(const std::string& path, bool exists, std::string* error) {
    if (exists && ::access(path.c_str(), W_OK) != 0) {
        *error = std::string("the store is read-only (") + std::strerror(errno) + ")";
        return false;
    }
    const size_t slash = path.rfind('/');
    const std::string folder =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    if (::access(folder.c_str(), W_OK) != 0) {
        *error = "the store's folder " + folder + " is read-only (" + std::strerror(errno) + ")";
        return false;
    }
    return true;
}

// Nothing is written to a store before this passes: a damaged one stays as it was found, for
// the operator to restore or rescue.
bool CheckIntact(sqlite3* db, std::string* error) {
    Statement check(db, "PRAGMA quick_check");
    int rc = check.Step();
    if (rc == SQLITE_ROW && check.Text(0) == "ok" && check.Step() == SQLITE_DONE) return true;
    const int code = sqlite3_errcode(db);
    if (code == SQLITE_NOTADB) {
        *error = "not a configuration store (" + std::string(sqlite3_errmsg(db)) + ")";
    } else if (rc == SQLITE_ROW || code == SQLITE_CORRUPT) {
        std::string detail = rc == SQLITE_ROW ? check.Text(0) : sqlite3_errmsg(db);
        for (char& c : detail)
            if (c == '\n') c = ' ';
        *error = "the store is damaged (" + detail +
                 "); it was left untouched: restore it from a copy or an export";
    } else {
        *error = "cannot read the store (" + std::string(sqlite3_errmsg(db)) + ")";
    }
    return false;
}

ssize_t StoreWrite(int fd, const void* data, size_t length) {
    return CurrentEnv().Write(fd, data, length);
}

ssize_t StoreWriteAt(int fd, const void* data, size_t length, off_t offset) {
    return CurrentEnv().WriteAt(fd, data, length, offset);
}

// SQLite's file writes go through the Env like every other write, so a full disk can be
// injected under the store as well.
void RouteStoreWrites() {
    static std::once_flag once;
    std::call_once(once, [] {
        sqlite3_vfs* vfs = sqlite3_vfs_find("unix");
        if (vfs == nullptr || vfs->iVersion < 3 || vfs->xSetSystemCall == nullptr) return;
        vfs->xSetSystemCall(vfs, "write", reinterpret_cast<sqlite3_syscall_ptr>(&StoreWrite));
        vfs->xSetSystemCall(vfs, "pwrite", reinterpret_cast<sqlite3_syscall_ptr>(&StoreWriteAt));
        vfs->xSetSystemCall(vfs, "pwrite64", reinterpret_cast<sqlite3_syscall_ptr>(&StoreWriteAt));
    });
}

}  // namespace

std::vector<std::string_view> SplitKeyPath(std::string_view key) {
    std::vector<std::string_view> parts;
    size_t i = 0;
    while (i <= key.size()) {
        size_t j = key.find('\\', i);
        if (j == std::string_view::npos) j = key.size();
        if (j > i) parts.push_back(key.substr(i, j - i));
        i = j + 1;
    }
    return parts;
}

std::unique_ptr<Hive> Hive::Open(const std::string& path, std::string* error) {
    std::string dummy;
    if (!error) error = &dummy;
    struct stat st {};
    bool exists = ::stat(path.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        *error = path + ": not a configuration store (not a regular file)";
        return nullptr;
    }
    std::string why;
    if (!WritableLocation(path, exists, &why)) {
        *error = path + ": " + why;
        return nullptr;
    }
    if (!exists) {
        // Users' passwords live here: readable by the owner only. SQLite gives its journal
        // files the same mode.
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST) {
            *error = path + ": cannot create the store (" + std::strerror(errno) + ")";
            return nullptr;
        }
        if (fd >= 0) ::close(fd);
    }
    RouteStoreWrites();
    sqlite3* raw = nullptr;
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX;
    int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close_v2);
    if (rc != SQLITE_OK) {
        *error = path + ": cannot open the store (" +
                 (raw ? sqlite3_errmsg(raw) : "out of memory") + ")";
        return nullptr;
    }
    sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
    // Reading first: a file that is not a database, or a damaged one, fails here, before
    // anything is written.
    if (!CheckIntact(db.get(), &why) || !PrepareSchema(db.get(), &why)) {
        *error = path + ": " + why;
        return nullptr;
    }
    if (!ExecSql(db.get(), "PRAGMA journal_mode=WAL") ||
        !ExecSql(db.get(), "PRAGMA synchronous=FULL") ||
        !ExecSql(db.get(), "PRAGMA foreign_keys=ON")) {
        *error = path + ": cannot set up the store (" + sqlite3_errmsg(db.get()) + ")";
        return nullptr;
    }
    return std::unique_ptr<Hive>(new Hive(db.release()));
}

Hive::Hive(sqlite3* db) : db_(db) {}

Hive::~Hive() {
    sqlite3_close_v2(db_);
}

bool Hive::Exec(const char* sql) {
    return ExecSql(db_, sql);
}

int64_t Hive::FindKey(std::string_view key) {
    int64_t id = kRootId;
    for (auto part : SplitKeyPath(key)) {
        Statement st(db_, "SELECT id FROM hkey WHERE parent = ? AND fold = ?");
        st.Bind(1, id).Bind(2, Fold(part));
        if (st.Step() != SQLITE_ROW) return 0;
        id = st.Int(0);
    }
    return id;
}

int64_t Hive::FindOrCreateKey(std::string_view key) {
    int64_t id = kRootId;
    for (auto part : SplitKeyPath(key)) {
        Statement find(db_, "SELECT id FROM hkey WHERE parent = ? AND fold = ?");
        find.Bind(1, id).Bind(2, Fold(part));
        int rc = find.Step();
        if (rc == SQLITE_ROW) {
            id = find.Int(0);
            continue;
        }
        if (rc != SQLITE_DONE) return 0;
        Statement add(db_, "INSERT INTO hkey(parent, name, fold) VALUES(?, ?, ?)");
        add.Bind(1, id).Bind(2, part).Bind(3, Fold(part));
        if (!add.Run()) return 0;
        id = sqlite3_last_insert_rowid(db_);
    }
    return id;
}

bool Hive::KeyExists(std::string_view key) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    return FindKey(key) != 0;
}

bool Hive::CreateKey(std::string_view key) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    WriteScope tx(db_, tx_depth_ > 0);
    if (!tx.ok() || FindOrCreateKey(key) == 0) return false;
    return tx.Commit();
}

bool Hive::DeleteKey(std::string_view key) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    WriteScope tx(db_, tx_depth_ > 0);
    if (!tx.ok()) return false;
    int64_t id = FindKey(key);
    if (id == 0 || id == kRootId) return false;
    Statement del(db_, "DELETE FROM hkey WHERE id = ?");
    del.Bind(1, id);
    return del.Run() && tx.Commit();
}

std::optional<HiveValue> Hive::GetValue(std::string_view key, std::string_view name) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    int64_t id = FindKey(key);
    if (id == 0) return std::nullopt;
    Statement st(db_, "SELECT type, data FROM hvalue WHERE hkey = ? AND fold = ?");
    st.Bind(1, id).Bind(2, Fold(name));
    if (st.Step() != SQLITE_ROW) return std::nullopt;
    HiveValue v;
    if (st.Int(0) == static_cast<int>(HiveValue::Type::Number)) {
        v.type = HiveValue::Type::Number;
        v.number = static_cast<uint32_t>(st.Int(1));
    } else {
        v.type = HiveValue::Type::Text;
        v.text = st.Text(1);
    }
    return v;
}

bool Hive::SetValue(std::string_view key, std::string_view name, const HiveValue& value) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    WriteScope tx(db_, tx_depth_ > 0);
    if (!tx.ok()) return false;
    int64_t id = FindOrCreateKey(key);
    if (id == 0) return false;
    // Upsert that keeps the row (and so the creation order and the first spelling).
    Statement st(
        db_,
        "INSERT INTO hvalue(hkey, name, fold, type, data) VALUES(?, ?, ?, ?, ?) "
        "ON CONFLICT(hkey, fold) DO UPDATE SET type = excluded.type, data = excluded.data");
    st.Bind(1, id).Bind(2, name).Bind(3, Fold(name)).Bind(4, static_cast<int64_t>(value.type));
    if (value.type == HiveValue::Type::Number)
        st.Bind(5, static_cast<int64_t>(value.number));
    else
        st.Bind(5, std::string_view(value.text));
    return st.Run() && tx.Commit();
}

bool Hive::SetText(std::string_view key, std::string_view name, std::string_view text) {
    HiveValue v;
    v.type = HiveValue::Type::Text;
    v.text = std::string(text);
    return SetValue(key, name, v);
}

bool Hive::SetNumber(std::string_view key, std::string_view name, uint32_t number) {
    HiveValue v;
    v.type = HiveValue::Type::Number;
    v.number = number;
    return SetValue(key, name, v);
}

bool Hive::DeleteValue(std::string_view key, std::string_view name) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    WriteScope tx(db_, tx_depth_ > 0);
    if (!tx.ok()) return false;
    int64_t id = FindKey(key);
    if (id == 0) return false;
    Statement st(db_, "DELETE FROM hvalue WHERE hkey = ? AND fold = ?");
    st.Bind(1, id).Bind(2, Fold(name));
    if (!st.Run() || sqlite3_changes(db_) == 0) return false;
    return tx.Commit();
}

std::vector<std::string> Hive::SubKeys(std::string_view key) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    std::vector<std::string> out;
    int64_t id = FindKey(key);
    if (id == 0) return out;
    Statement st(db_, "SELECT name FROM hkey WHERE parent = ? ORDER BY fold");
    st.Bind(1, id);
    while (st.Step() == SQLITE_ROW) out.push_back(st.Text(0));
    return out;
}

std::vector<NamedHiveValue> Hive::Values(std::string_view key) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    std::vector<NamedHiveValue> out;
    int64_t id = FindKey(key);
    if (id == 0) return out;
    Statement st(db_, "SELECT name, type, data FROM hvalue WHERE hkey = ? ORDER BY id");
    st.Bind(1, id);
    while (st.Step() == SQLITE_ROW) {
        NamedHiveValue nv;
        nv.name = st.Text(0);
        if (st.Int(1) == static_cast<int>(HiveValue::Type::Number)) {
            nv.value.type = HiveValue::Type::Number;
            nv.value.number = static_cast<uint32_t>(st.Int(2));
        } else {
            nv.value.text = st.Text(2);
        }
        out.push_back(std::move(nv));
    }
    return out;
}

std::optional<std::string> Hive::StoredPath(std::string_view key) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    int64_t id = kRootId;
    std::string path;
    for (auto part : SplitKeyPath(key)) {
        Statement st(db_, "SELECT id, name FROM hkey WHERE parent = ? AND fold = ?");
        st.Bind(1, id).Bind(2, Fold(part));
        if (st.Step() != SQLITE_ROW) return std::nullopt;
        id = st.Int(0);
        if (!path.empty()) path += '\\';
        path += st.Text(1);
    }
    return path;
}

}  // namespace orvana::platform
