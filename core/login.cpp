#include "core/login.h"

#include <cctype>
#include <cstdio>
#include <string>

#include "core/client_session.h"
#include "core/config_keys.h"
#include "core/server.h"
#include "core/text.h"

namespace orvana {
namespace {

// Splits off the text up to the first blank.
std::string_view Word(std::string_view& rest) {
    size_t blank = rest.find(' ');
    std::string_view word = rest.substr(0, blank);
    rest = blank == std::string_view::npos ? std::string_view{}
                                           : TrimLeadingBlanks(rest.substr(blank));
    return word;
}

}  // namespace

bool IsSystemUser(std::string_view user) {
    return EqualsNoCaseAscii(user, kDemonUser) || EqualsNoCaseAscii(user, kScriptUser) ||
           EqualsNoCaseAscii(user, kNtripUser);
}

unsigned OpenUsr(Server& server, std::string_view args, ClientSession& session, uint8_t) {
    {
        std::lock_guard<platform::RecursiveLock> guard(server.clients().lock());
        session.user_name = "~!";
        session.logged_in = false;
        session.super_user = false;
        session.access_list.clear();
    }
    std::string_view rest = TrimBlanks(args);
    const std::string user(Word(rest));
    const std::string password(Word(rest));
    const std::string task(rest);

    const std::string key = server.users_path() + user;
    const ConfigStore& store = server.store();
    if (user.empty() || !store.KeyExists(key) || !store.ReadFlag(key, cfg::kEnableUser)) {
        session.reply = "ER:Cannot find user.";
        return 0;
    }
    // The system users' password is written in the program: from the network it proves nothing.
    if (IsSystemUser(user) && !session.internal && !platform::IsLoopback(session.peer_address)) {
        server.log().WriteLine("ER:System user " + user + " refused from " + session.address);
        session.reply = "ER:Cannot find user.";
        return 0;
    }
    const uint8_t limit = static_cast<uint8_t>(store.ReadNumber(key, cfg::kCountUsr));
    const std::string stored_password = store.ReadText(key, cfg::kUserPassword);
    const bool super_user = store.ReadFlag(key, cfg::kSuperUser);

    {
        // Counting and taking the name under one lock: two logins of one user at the same
        // moment cannot both pass the limit.
        std::lock_guard<platform::RecursiveLock> guard(server.clients().lock());
        uint8_t sessions = 0;
        for (unsigned i = 0; i < ClientTable::kSlots; ++i) {
            auto other = server.clients().Get(i);
            if (other && other.get() != &session && other->user_name == user) ++sessions;
        }
        if (sessions > limit) {
            session.reply = "ER:Max number of connections for this user exceeded.";
            return 0;
        }
        if (!stored_password.empty() && stored_password != password) {
            session.reply = "ER:Incorrect user password.";
            return 0;
        }
        session.super_user = super_user;
        session.user_name = user;
        session.task = task;
        session.logged_in = true;
    }
    BuildAccessList(server, session);
    session.session_number = server.NextSessionNumber();
    session.send_total = 0;
    session.error_total = 0;

    char line[512];
    std::snprintf(line, sizeof line, "%03u Login User = %s/%sTask = %s", session.session_number,
                  user.c_str(), session.address.c_str(), task.c_str());
    server.statistics().WriteRecord(line, 0);
    return session.handle_count;
}

unsigned CloseUsr(Server&, std::string_view, ClientSession& session, uint8_t) {
    session.lost = true;
    return 1;
}

unsigned GetRcvList(Server& server, std::string_view, ClientSession& session, uint8_t) {
    BuildAccessList(server, session);
    session.reply = "RE:" + session.access_list;
    return session.handle_count;
}

void BuildAccessList(Server& server, ClientSession& session) {
    std::lock_guard<std::mutex> access_guard(server.access_list_lock());
    const std::string access = server.store().ReadText(server.users_path() + session.user_name,
                                                       cfg::kAccessRcv, KeyAccess::Create);
    std::string list;
    unsigned k = 0;
    {
        std::lock_guard<platform::RecursiveLock> guard(server.receiver_table_lock());
        auto& names = server.receiver_names();
        auto add_matching = [&](std::string_view item, bool all) {
            for (unsigned r = 1; r <= Server::kMaxReceivers; ++r) {
                if (names[r].empty() || (!all && names[r] != item)) continue;
                list += names[r];
                list += ',';
                ++k;
            }
        };
        if (access == cfg::kAccessAll) {
            add_matching({}, true);
        } else {
            // Only items that end in a comma count: text after the last comma is ignored.
            std::string_view text = access;
            for (size_t comma; (comma = text.find(',')) != std::string_view::npos;) {
                add_matching(text.substr(0, comma), false);
                text.remove_prefix(comma + 1);
            }
        }
    }
    const size_t wanted = k + 5;
    if (!session.has_handle_table) {
        std::lock_guard<platform::RecursiveLock> guard(server.clients().lock());
        session.handle_table.assign(wanted, nullptr);
        session.has_handle_table = true;
    } else if (wanted > session.handle_count + 4u) {
        // Growing keeps every old entry, so no attachment is lost on the way.
        std::lock_guard<platform::RecursiveLock> guard(server.receiver_table_lock());
        session.handle_table.resize(wanted);
    }
    session.handle_count = static_cast<uint8_t>(k + 1);
    session.access_list = std::move(list);
}

void WriteSystemUser(Server& server, std::string_view name) {
    const std::string key = server.users_path() + std::string(name);
    ConfigStore& store = server.store();
    store.WriteText(key, cfg::kAccessRcv.name, cfg::kAccessAll);
    store.WriteText(key, cfg::kUserPassword.name, kSystemPassword);
    store.WriteNumber(key, cfg::kCountUsr.name, kSystemUserCount);
    store.WriteFlag(key, cfg::kEnableUser.name, true);
}

}  // namespace orvana
