#include "admin/admin_requests.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/config_keys.h"
#include "core/config_store.h"
#include "core/text.h"
#include "platform/clock.h"

namespace orvana::admin {
namespace {

constexpr const char* kUnknownKind = "ER:Unknown type request.";
constexpr const char* kReceiverNotFound = "ER:Receiver not found!";
constexpr const char* kUserNotFound = "ER:Can't find user";
constexpr const char* kSyntaxError = "ER:syntax error";

struct Column {
    const char* name;
    int width;
};
constexpr Column kColumns[] = {{"Date Start", 16}, {"Send", 8},     {"Receiver", 9},
                               {"User", 11},       {"Task", 11},    {"Address", 14},
                               {"Interface", 13},  {"Messages", 40}};
constexpr uint32_t kAllColumns = (1u << (sizeof kColumns / sizeof kColumns[0])) - 1;

constexpr const char* kSpeeds[] = {"115200", "921600", "460800", "230400",
                                   "57600",  "38400",  "19200",  "9600"};

enum class Kind { Rcv, Usr, CList, LFile, None };

// Each kind's name is compared over its own length, in this order.
Kind MatchKind(std::string_view* arg) {
    static constexpr std::pair<const char*, Kind> kKinds[] = {
        {"Rcv", Kind::Rcv}, {"Usr", Kind::Usr}, {"CList", Kind::CList}, {"LFile", Kind::LFile}};
    for (auto [name, kind] : kKinds) {
        size_t n = std::strlen(name);
        if (arg->substr(0, n) == name) {
            arg->remove_prefix(n);
            while (!arg->empty() && arg->front() == ' ') arg->remove_prefix(1);
            return kind;
        }
    }
    return Kind::None;
}

// A field is the text up to the next "/" without its leading blanks; the "/" is consumed.
// No "/" left: the record is invalid.
bool TakeField(std::string_view* rec, std::string* field) {
    size_t slash = rec->find('/');
    if (slash == std::string_view::npos) return false;
    std::string_view f = rec->substr(0, slash);
    while (!f.empty() && f.front() == ' ') f.remove_prefix(1);
    *field = std::string(f);
    rec->remove_prefix(slash + 1);
    return true;
}

// The e/d letter that follows the name.
bool TakeEnableLetter(std::string_view* rec, bool* enabled) {
    if (rec->empty() || (rec->front() != 'e' && rec->front() != 'd')) return false;
    *enabled = rec->front() == 'e';
    rec->remove_prefix(1);
    return true;
}

std::string InterfaceKind(std::string_view interface_text) {
    return std::string(interface_text.substr(0, 2));
}

// Subkey lookup by exact (case-sensitive) name, as the enumeration spells it.
bool HasExactSubkey(const ConfigStore& store, const char* parent, std::string_view name) {
    for (const auto& k : store.SubKeys(parent))
        if (k == name) return true;
    return false;
}

unsigned NotSaved(AdminContext& ctx) {
    *ctx.reply = kNotSaved;
    return 0;
}

unsigned Result(const std::string& reply) {
    return reply.compare(0, 2, "RE") == 0 ? 1 : 0;
}

std::string PortInventory(AdminContext& ctx) {
    std::string com, speed, usb;
    for (const auto& port : ctx.serial_ports ? ctx.serial_ports() : std::vector<std::string>{}) {
        if (!com.empty()) com += '/';
        com += "COM " + (port.size() > 3 ? port.substr(3) : std::string());
    }
    for (const char* s : kSpeeds) {
        if (!speed.empty()) speed += '/';
        speed += s;
    }
    for (const auto& path : ctx.usb_paths ? ctx.usb_paths() : std::vector<std::string>{}) {
        if (path.size() < 16) continue;
        size_t hash = path.find('#', 15);
        if (hash == std::string::npos) continue;
        if (!usb.empty()) usb += '/';
        usb += path.substr(hash + 1, 11);
    }
    return "RE:COM{" + com + "}SPEED{" + speed + "}USB{" + usb + "}";
}

unsigned GetRcv(std::string_view arg, AdminContext& ctx) {
    std::string& reply = *ctx.reply;
    const ConfigStore& store = *ctx.store;
    if (!arg.empty() && arg.front() == '#') {
        reply = PortInventory(ctx);
        return 1;
    }
    reply = "RE:";
    if (!store.KeyExists(cfg::kReceiversKey)) return 1;
    if (arg.empty()) {
        for (const auto& name : store.SubKeys(cfg::kReceiversKey)) {
            std::string key = cfg::kReceiversKey + name;
            bool on = store.ReadFlag(key, cfg::kEnableRcv.name, false, KeyAccess::Create);
            reply += name + (on ? "/e\n" : "/d\n");
        }
        return 1;
    }
    if (!ctx.super_user) {  // the record carries the interface password
        reply = kNotAuthorized;
        return 0;
    }
    if (!HasExactSubkey(store, cfg::kReceiversKey, arg)) {
        reply = kReceiverNotFound;
        return 0;
    }
    std::string key = cfg::kReceiversKey + std::string(arg);
    std::string iface = store.ReadText(key, cfg::kInterface.name, "", KeyAccess::Create);
    std::string ikey = cfg::kInterfaceKey + iface;
    reply += iface + "/";
    std::string kind = InterfaceKind(iface);
    if (kind == "TC") {
        reply += store.ReadText(ikey, cfg::kInterfacePassword.name, "", KeyAccess::Create) + "/" +
                 store.ReadText(ikey, cfg::kUSEFTP.name, "", KeyAccess::Create);
    } else if (kind == "CO") {
        reply += store.ReadText(ikey, cfg::kSpeed.name, "") + "/";
        reply += static_cast<char>(store.ReadNumber(ikey, cfg::kRTSCTS.name, 0) | 0x30);
    } else if (kind == "GA") {
        reply += "/" + store.ReadText(ikey, cfg::kUsr.name, cfg::kUsrAdmin, KeyAccess::Create) +
                 "/" + store.ReadText(ikey, cfg::kRcv.name, cfg::kRcvAdmin, KeyAccess::Create) +
                 "/,";
    }
    reply += "/" + store.ReadText(key, cfg::kComment.name, "") + "/" +
             store.ReadText(key, cfg::kPointName.name, cfg::kPointNameAdmin);
    return Result(reply);
}

unsigned GetUsr(std::string_view arg, AdminContext& ctx) {
    std::string& reply = *ctx.reply;
    const ConfigStore& store = *ctx.store;
    reply = "RE:";
    if (!store.KeyExists(cfg::kUsersKey)) return 1;
    if (arg.empty()) {
        for (const auto& name : store.SubKeys(cfg::kUsersKey)) {
            bool on = store.ReadFlag(cfg::kUsersKey + name, cfg::kEnableUser.name, false,
                                     KeyAccess::Create);
            reply += name + (on ? "/e\n" : "/d\n");
        }
        return 1;
    }
    if (!ctx.super_user) {  // the record carries the password
        reply = kNotAuthorized;
        return 0;
    }
    if (!HasExactSubkey(store, cfg::kUsersKey, arg)) {
        reply = kUserNotFound;
        return 0;
    }
    std::string key = cfg::kUsersKey + std::string(arg);
    char count[16];
    std::snprintf(count, sizeof count, "%d/\n",
                  static_cast<int32_t>(store.ReadNumber(key, cfg::kCountUsr.name, 0)));
    reply += store.ReadText(key, cfg::kAccessRcv.name, "") + "/" +
             store.ReadText(key, cfg::kUserPassword.name, "") + "/" + count;
    return Result(reply);
}

// The field mask: one hexadecimal digit as before, or two for the wider columns.
uint32_t ParseMask(std::string_view arg) {
    while (!arg.empty() && arg.front() == ' ') arg.remove_prefix(1);
    if (arg.empty()) return 0;
    int first = HexDigitValue(arg[0]);
    if (first < 0) return 0;
    int second = arg.size() > 1 ? HexDigitValue(arg[1]) : -1;
    return second < 0 ? static_cast<uint32_t>(first) : static_cast<uint32_t>(first * 16 + second);
}

std::string FormatRow(const ConnectionRow& row, uint32_t mask) {
    std::string out;
    for (int bit = 0; bit < 8; ++bit) {
        if (!(mask & (1u << bit))) continue;
        switch (bit) {
            case 0: {
                auto t = platform::ToLocal(row.open_time);
                char buf[40];
                std::snprintf(buf, sizeof buf, "%02d/%02d  %02d:%02d:%02d", t.day, t.month, t.hour,
                              t.minute, t.second);
                out += buf;
                break;
            }
            case 1:
                out += std::to_string(row.bytes_sent);
                break;
            case 2:
                out += row.receiver;
                break;
            case 3:
                out += row.user;
                break;
            case 4:
                out += row.task;
                break;
            case 5:
                out += row.address;
                break;
            case 6:
                out += row.interface_text;
                break;
            case 7:
                out += row.messages;
                break;
        }
        out += '/';
    }
    return out;
}

unsigned GetCList(std::string_view arg, AdminContext& ctx) {
    std::string& reply = *ctx.reply;
    if (arg.empty()) {
        reply = ConnectionListHeader();
        ctx.announced_columns->fetch_or(kAllColumns);
        return 1;
    }
    uint32_t mask = ParseMask(arg);
    uint32_t announced = ctx.announced_columns->load();
    if (announced == 0 || announced < mask) {
        reply = kSyntaxError;
        return 0;
    }
    std::optional<std::vector<ConnectionRow>> rows;
    if (ctx.connections) rows = ctx.connections();
    if (!rows) {
        reply = kTablesBusy;
        return 0;
    }
    reply = "RE:";
    bool first = true;
    for (const auto& row : *rows) {
        if (!first) reply += '\n';
        first = false;
        reply += FormatRow(row, mask);
    }
    return 1;
}

unsigned SetRcv(std::string_view rec, AdminContext& ctx) {
    const ConfigStore& store = *ctx.store;
    std::string name, iface, a, b;
    bool enabled = false;
    if (!TakeField(&rec, &name) || !TakeEnableLetter(&rec, &enabled) || !TakeField(&rec, &iface))
        return 0;
    std::string ikey = cfg::kInterfaceKey + iface;
    std::string kind = InterfaceKind(iface);
    const char* first = nullptr;
    const char* second = nullptr;
    if (kind == "TC") {
        first = cfg::kPort.name;
        second = cfg::kCheckLogin.name;
    } else if (kind == "CO") {
        first = cfg::kSpeed.name;
        second = cfg::kRTSCTS.name;
    } else if (kind == "GA") {
        first = cfg::kUsr.name;
        second = cfg::kRcv.name;
    }
    if (first) {
        if (!TakeField(&rec, &a) || !TakeField(&rec, &b)) return 0;
        // Written before the rest is checked: clients rely on a broken-off record keeping them.
        const bool saved = store.WriteTogether(
            [&] { return store.WriteText(ikey, first, a) && store.WriteText(ikey, second, b); });
        if (!saved) return NotSaved(ctx);
    }
    if (!rec.empty()) rec.remove_prefix(1);  // the separator that ends the kind part
    std::string f[9];
    for (auto& field : f)
        if (!TakeField(&rec, &field)) return 0;
    std::string key = cfg::kReceiversKey + name;
    const bool saved = store.WriteTogether([&] {
        // f[4] to f[6] are read and not used.
        return store.WriteFlag(key, cfg::kEnableRcv.name, enabled) &&
               store.WriteText(key, cfg::kInterface.name, iface) &&
               store.WriteText(key, cfg::kComment.name, f[0]) &&
               store.WriteText(key, cfg::kPointName.name, f[1]) &&
               store.WriteText(key, cfg::kRecInterval.name, f[2]) &&
               store.WriteText(key, cfg::kElevationMask.name, f[3]) &&
               store.WriteText(key, cfg::kAntType.name, f[7]) &&
               store.WriteText(key, cfg::kRadius.name, f[8]);
    });
    return saved ? 1 : NotSaved(ctx);
}

unsigned SetUsr(std::string_view rec, AdminContext& ctx) {
    const ConfigStore& store = *ctx.store;
    std::string name, access, password, limit;
    bool enabled = false;
    if (!TakeField(&rec, &name) || !TakeEnableLetter(&rec, &enabled) || !TakeField(&rec, &access) ||
        !TakeField(&rec, &password) || !TakeField(&rec, &limit))
        return 0;
    std::string key = cfg::kUsersKey + name;
    const uint32_t count = static_cast<uint32_t>(std::strtol(limit.c_str(), nullptr, 10)) & 0xFFFFu;
    // All or nothing: a user enabled without the password that followed would accept any.
    const bool saved = store.WriteTogether([&] {
        return store.WriteFlag(key, cfg::kEnableUser.name, enabled) &&
               store.WriteText(key, cfg::kAccessRcv.name, access) &&
               store.WriteText(key, cfg::kUserPassword.name, password) &&
               store.WriteNumber(key, cfg::kCountUsr.name, count);
    });
    return saved ? 1 : NotSaved(ctx);
}

}  // namespace

std::string ConnectionListHeader() {
    std::string out = "RE:";
    for (const auto& c : kColumns) {
        if (out.size() > 3) out += ',';
        out += std::string(c.name) + "/" + std::to_string(c.width);
    }
    return out;
}

unsigned HandleGet(std::string_view argument, AdminContext& ctx) {
    switch (MatchKind(&argument)) {
        case Kind::Rcv:
            return GetRcv(argument, ctx);
        case Kind::Usr:
            return GetUsr(argument, ctx);
        case Kind::CList:
            return GetCList(argument, ctx);
        case Kind::LFile:
            *ctx.reply = "RE:OK.";
            return 1;
        case Kind::None:
            break;
    }
    *ctx.reply = kUnknownKind;
    return 0;
}

unsigned HandleSet(std::string_view argument, AdminContext& ctx) {
    Kind kind = MatchKind(&argument);
    if (kind == Kind::None) {
        *ctx.reply = kUnknownKind;
        return 0;
    }
    if (!ctx.super_user) {
        *ctx.reply = kNotAuthorized;
        return 0;
    }
    switch (kind) {
        case Kind::Rcv:
            return SetRcv(argument, ctx);
        case Kind::Usr:
            return SetUsr(argument, ctx);
        default:
            return 1;
    }
}

}  // namespace orvana::admin
