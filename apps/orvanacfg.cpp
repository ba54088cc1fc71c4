// orvanacfg: the operator's tool for the configuration store (the registry editor of a Windows
// station). Every error ends the program with one line on stderr and a non-zero status.

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/reg_file.h"
#include "platform/files.h"
#include "platform/hive.h"
#include "platform/port_folder.h"

namespace {

using orvana::platform::Hive;
using orvana::platform::HiveValue;

constexpr const char* kUsage =
    "usage: orvanacfg [--store FILE] [--ports DIR] VERB ...\n"
    "  set KEY NAME --text V | --number N\n"
    "  get KEY NAME\n"
    "  keys KEY\n"
    "  values KEY\n"
    "  delete KEY [NAME]\n"
    "  import FILE.reg\n"
    "  export [KEY]\n"
    "  port COMn DEVICE   the server's port COMn is DEVICE (/dev/serial/by-id/...); - removes\n"
    "  ports              the ports and the devices they are, \"(missing)\" when not there\n"
    "KEY is a path such as 'Software\\Zelmar\\Orvana\\Config\\Main' (a leading\n"
    "'HKEY_LOCAL_MACHINE\\' is allowed). The default store is orvanasrv.db next to the program,\n"
    "the default ports folder \"ports\" beside the store (the server's --ports).\n";

int Fail(const std::string& message) {
    std::fprintf(stderr, "orvanacfg: %s\n", message.c_str());
    return 1;
}

std::string KeyArg(std::string key) {
    std::string prefix = std::string(orvana::kRegHivePrefix) + "\\";
    if (key.size() >= prefix.size() && strncasecmp(key.c_str(), prefix.c_str(), prefix.size()) == 0)
        key.erase(0, prefix.size());
    return key;
}

bool ParseNumber(const std::string& s, uint32_t* out) {
    const char* b = s.data();
    const char* e = b + s.size();
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        b += 2;
        base = 16;
    }
    auto [p, ec] = std::from_chars(b, e, *out, base);
    return ec == std::errc() && p == e && b != e;
}

std::string FormatValue(const HiveValue& v) {
    if (v.type == HiveValue::Type::Number) return std::to_string(v.number);
    return v.text;
}

int Run(Hive& hive, const std::vector<std::string>& args) {
    const std::string& verb = args[0];
    auto need = [&](size_t lo, size_t hi) { return args.size() >= lo && args.size() <= hi; };
    if (verb == "set") {
        if (!need(5, 5)) return Fail("set needs KEY NAME --text V | --number N");
        std::string key = KeyArg(args[1]);
        bool ok;
        if (args[3] == "--text") {
            ok = hive.SetText(key, args[2], args[4]);
        } else if (args[3] == "--number") {
            uint32_t n = 0;
            if (!ParseNumber(args[4], &n)) return Fail("not a 32-bit number: " + args[4]);
            ok = hive.SetNumber(key, args[2], n);
        } else {
            return Fail("set needs --text or --number, not " + args[3]);
        }
        return ok ? 0 : Fail("cannot write " + args[1] + "\\" + args[2]);
    }
    if (verb == "get") {
        if (!need(3, 3)) return Fail("get needs KEY NAME");
        auto v = hive.GetValue(KeyArg(args[1]), args[2]);
        if (!v) return Fail("no value " + args[2] + " under " + args[1]);
        std::printf("%s\n", FormatValue(*v).c_str());
        return 0;
    }
    if (verb == "keys") {
        if (!need(2, 2)) return Fail("keys needs KEY");
        std::string key = KeyArg(args[1]);
        if (!hive.KeyExists(key)) return Fail("no key " + args[1]);
        for (const auto& k : hive.SubKeys(key)) std::printf("%s\n", k.c_str());
        return 0;
    }
    if (verb == "values") {
        if (!need(2, 2)) return Fail("values needs KEY");
        std::string key = KeyArg(args[1]);
        if (!hive.KeyExists(key)) return Fail("no key " + args[1]);
        for (const auto& v : hive.Values(key)) {
            const char* type = v.value.type == HiveValue::Type::Number ? "number" : "text";
            std::printf("%s\t%s\t%s\n", v.name.c_str(), type, FormatValue(v.value).c_str());
        }
        return 0;
    }
    if (verb == "delete") {
        if (!need(2, 3)) return Fail("delete needs KEY [NAME]");
        std::string key = KeyArg(args[1]);
        if (args.size() == 3)
            return hive.DeleteValue(key, args[2])
                       ? 0
                       : Fail("no value " + args[2] + " under " + args[1]);
        if (key.empty()) return Fail("refusing to delete the whole store");
        return hive.DeleteKey(key) ? 0 : Fail("no key " + args[1]);
    }
    if (verb == "import") {
        if (!need(2, 2)) return Fail("import needs FILE.reg");
        std::string content, error;
        if (!orvana::platform::ReadWholeFile(args[1], &content, &error)) return Fail(error);
        auto parsed = orvana::ParseRegFile(content);
        if (!parsed.ok) return Fail(args[1] + ": " + parsed.error + "; nothing imported");
        if (!orvana::ApplyRegOperations(hive, parsed.operations))
            return Fail(args[1] + ": the store refused the import; nothing imported");
        return 0;
    }
    if (verb == "export") {
        if (!need(1, 2)) return Fail("export needs [KEY]");
        std::string key = args.size() == 2 ? KeyArg(args[1]) : std::string();
        std::string text = orvana::ExportRegFile(hive, key);
        if (text.empty()) return Fail("no key " + args[1]);
        if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
            std::fflush(stdout) != 0)
            return Fail("cannot write the export");
        return 0;
    }
    return Fail("unknown verb '" + verb + "' (see --help)");
}

}  // namespace

// The ports folder: COMn links to the devices (no store needed).
int RunPorts(const std::string& folder, const std::vector<std::string>& args) {
    namespace platform = orvana::platform;
    if (args[0] == "ports") {
        if (args.size() != 1) return Fail("ports takes no arguments");
        for (const std::string& name : platform::ListComPorts(folder)) {
            const platform::ComPortLink l = platform::ReadComPortLink(folder, name);
            std::printf("%s\t%s%s\n", name.c_str(),
                        l.device.empty() ? "(no link)" : l.device.c_str(),
                        l.present ? "" : " (missing)");
        }
        return 0;
    }
    if (args.size() != 3) return Fail("port needs COMn and a DEVICE (or -)");
    if (!platform::IsComPortName(args[1]))
        return Fail("not a port name COM1 .. COM255: " + args[1]);
    std::string error;
    if (args[2] == "-") return platform::UnlinkComPort(folder, args[1], &error) ? 0 : Fail(error);
    if (args[2].empty() || args[2][0] != '/') return Fail("DEVICE is an absolute path: " + args[2]);
    if (!platform::LinkComPort(folder, args[1], args[2], &error)) return Fail(error);
    if (!platform::ReadComPortLink(folder, args[1]).present)
        std::fprintf(stderr, "orvanacfg: warning: %s is not there now\n", args[2].c_str());
    return 0;
}

int main(int argc, char** argv) {
    std::string store = orvana::platform::ExecutableDirectory() + "orvanasrv.db";
    std::string ports;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--ports") {
            if (i + 1 >= argc) return Fail("--ports needs a folder");
            ports = argv[++i];
        } else if (a == "--store") {
            if (i + 1 >= argc) return Fail("--store needs a file");
            store = argv[++i];
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            args.push_back(a);
        }
    }
    if (args.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (args[0] == "port" || args[0] == "ports") {
        if (ports.empty()) {
            const size_t slash = store.rfind('/');
            ports =
                (slash == std::string::npos ? std::string(".") : store.substr(0, slash)) + "/ports";
        }
        return RunPorts(ports, args);
    }
    std::string error;
    auto hive = Hive::Open(store, &error);
    if (!hive) return Fail(error);
    return Run(*hive, args);
}
