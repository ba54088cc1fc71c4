#include "transfer/load_file.h"

#include <cstdio>
#include <cstdlib>

#include "core/client_session.h"
#include "core/request_dispatch.h"
#include "core/server.h"
#include "platform/folders.h"
#include "transfer/transfer_requests.h"
#include "transfer/transfer_start.h"

namespace orvana {
namespace {

// The leading decimal number of `text`; false when there is none.
bool LeadingNumber(std::string_view text, long* value) {
    const std::string copy(text.substr(0, 24));
    char* end = nullptr;
    *value = std::strtol(copy.c_str(), &end, 10);
    return end != copy.c_str();
}

unsigned OpenSlot(Server& server, std::string_view args, ClientSession& s) {
    unsigned slot = 0;
    while (slot < s.load_files.size() && s.load_files[slot]) ++slot;
    if (slot == s.load_files.size()) {
        s.reply = "ER:Don't have space for client";
        return 0;
    }
    const size_t blank = args.find(' ');
    if (blank == std::string_view::npos) {
        s.reply = "ER:syntax!";
        return 0;
    }
    const std::string_view name = BareFileName(args.substr(blank + 1));
    if (!IsPlainFileName(name)) {
        s.reply = "ER:Invalid file name!";
        return 0;
    }
    const std::string folder = UserFolder(server, s);
    auto record = std::make_shared<LoadFileSlot>();
    record->path = folder + std::string(name);
    if (folder.empty() || !platform::MakeFolder(folder) ||
        !record->file.Open(record->path, nullptr)) {
        s.reply = "ER:Can't create file!";
        return 0;
    }
    s.load_files[slot] = std::move(record);
    return slot + 1;
}

}  // namespace

std::string UserFolder(Server& server, const ClientSession& s) {
    const std::string& user = s.user_name;
    // Blanks and punctuation make folder names too; separators, "." and ".." would lead out of
    // the home folder.
    if (user.empty() || user == "." || user == ".." ||
        user.find_first_of("/\\") != std::string::npos)
        return {};
    for (char c : user)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return {};
    return server.program_folder() + user + "/";
}

void CloseLoadFiles(ClientSession& s) {
    for (auto& slot : s.load_files) slot.reset();
}

unsigned LoadFile(Server& server, std::string_view args, ClientSession& s, uint8_t) {
    if (!s.super_user) {
        s.reply = "ER:User not authorized to send this command!";
        return 0;
    }
    long n = 0;
    if (!LeadingNumber(args, &n)) {
        s.reply = "ER:syntax!";
        return 0;
    }
    if (n == 0) return OpenSlot(server, args, s);
    const size_t blank = args.find(' ');
    if (blank == std::string_view::npos || (n != 1 && n != 2)) {
        s.reply = "ER:syntax!";
        return 0;
    }
    std::shared_ptr<LoadFileSlot>& slot = s.load_files[static_cast<size_t>(n - 1)];
    // A piece for a slot without a file has nowhere to go.
    if (!slot) {
        s.reply = "ER:syntax!";
        return 0;
    }
    const std::string_view data = RequestBinary(s);
    if (!slot->file.Write(data, nullptr)) {
        server.log().WriteLine("ER:Can't write file " + slot->path);
        slot.reset();
        s.reply = "ER:Can't write file!";
        return 0;
    }
    long counter = 0;
    LeadingNumber(args.substr(blank + 1), &counter);
    if (counter < 0) {
        if (!slot->file.Close(nullptr)) {
            server.log().WriteLine("ER:Can't write file " + slot->path);
            slot.reset();
            s.reply = "ER:Can't write file!";
            return 0;
        }
        slot.reset();
    }
    char reply[64];
    std::snprintf(reply, sizeof reply, "INS:%04ld %04u", counter % 10000,
                  static_cast<unsigned>(data.size()));
    s.reply = reply;
    return 1;
}

}  // namespace orvana
