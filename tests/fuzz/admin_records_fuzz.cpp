// Get and Set requests as a remote administrator sends them, line by line, against one store
// that keeps what earlier inputs wrote: every record field may be missing, too long or strange.
// Each request ends with an "RE" or "ER" reply, and a refused one says so by its code.

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "admin/admin_requests.h"
#include "core/config_store.h"
#include "platform/hive.h"
#include "tests/fuzz/input_lines.h"

using namespace orvana;

namespace {

struct Store {
    std::string folder;
    std::unique_ptr<platform::Hive> hive;
    std::unique_ptr<ConfigStore> store;
    Store() {
        char name[] = "/tmp/orvana-fuzz-XXXXXX";
        if (::mkdtemp(name) == nullptr) std::abort();
        folder = name;
        std::string error;
        hive = platform::Hive::Open(folder + "/orvanasrv.db", &error);
        if (!hive) std::abort();
        store = std::make_unique<ConfigStore>(*hive);
    }
    ~Store() {
        store.reset();
        hive.reset();
        for (const char* suffix : {"", "-wal", "-shm", "-journal"})
            ::unlink((folder + "/orvanasrv.db" + suffix).c_str());
        ::rmdir(folder.c_str());
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Store db;
    static std::atomic<uint32_t> announced{0};
    if (size < 1) return 0;
    std::string reply;
    admin::AdminContext ctx;
    ctx.store = db.store.get();
    ctx.super_user = (data[0] & 1) != 0;
    ctx.reply = &reply;
    ctx.announced_columns = &announced;
    ctx.serial_ports = [] { return std::vector<std::string>{"COM1", "COM12"}; };
    ctx.usb_paths = [] {
        return std::vector<std::string>{"\\\\?\\usb#vid_1209&pid_0001#ab12cd34ef56#{x}",
                                        "\\\\?\\u"};
    };
    ctx.connections = [] {
        admin::ConnectionRow row;
        row.receiver = "Base1";
        row.user = "ann";
        return std::optional<std::vector<admin::ConnectionRow>>(
            std::vector<admin::ConnectionRow>{row});
    };
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    while (!rest.empty()) {
        const std::string_view line = fuzz::NextLine(&rest);
        if (line.empty()) continue;
        reply = "RE:OK.";
        const unsigned code = line[0] == 'S' ? admin::HandleSet(line.substr(1), ctx)
                                             : admin::HandleGet(line.substr(1), ctx);
        const bool said_yes = reply.compare(0, 2, "RE") == 0;
        if (!said_yes && reply.compare(0, 2, "ER") != 0) std::abort();
        if (code != 0 && !said_yes) std::abort();
    }
    return 0;
}
