#pragma once
// The receiver information poll of the console's receiver properties: on a thread of its own it
// logs in to this server over TCP as the system user Demon, like any client, opens the receiver
// and asks for its type, ID and firmware version with a three-line command script. Every
// receiver access thus takes the one path that handles sharing, locking and replies.

#include <atomic>
#include <functional>
#include <mutex>
#include <string>

#include "core/request_client.h"
#include "platform/sync.h"

namespace orvana {

class Server;

inline constexpr const char* kUndefinedInfo = "undefined";

struct ReceiverInfo {
    std::string type = kUndefinedInfo;
    std::string id = kUndefinedInfo;
    std::string firmware = kUndefinedInfo;
};

// The script sent as one Command request.
inline constexpr const char* kInfoPollScript =
    "Command @scr stoperrors\n# comment\nprint,/par/rcv/model\nprint,/par/rcvid\n"
    "print,/par/version/main\n@end\n";

// Fills the fields in order from the script's reply, one line each from its sixth character on;
// fields without a line keep "undefined".
ReceiverInfo ParseInfoReply(std::string_view text);

class InfoPoll {
  public:
    static constexpr uint32_t kReplyWaitMs = 100000;

    // Writes Users\Demon and starts the poll of `receiver`. `done` runs once on the poll's
    // thread when it ends, with what it found (all "undefined" when anything failed).
    InfoPoll(Server& server, std::string receiver, std::function<void(const ReceiverInfo&)> done);
    // Ends a poll still waiting (its connection is closed), then deletes Users\Demon.
    ~InfoPoll();
    InfoPoll(const InfoPoll&) = delete;
    InfoPoll& operator=(const InfoPoll&) = delete;

    bool finished() const { return finished_.load(); }

  private:
    void Run();

    Server& server_;
    const std::string receiver_;
    std::function<void(const ReceiverInfo&)> done_;
    std::mutex connect_mu_;
    bool stopping_ = false;  // GUARDED_BY(connect_mu_)
    RequestClient client_;
    std::atomic<bool> finished_{false};
    platform::Thread thread_;
};

// A console that crashed mid-poll leaves Users\Demon behind, with a password that is in the
// program: removed when the console starts.
void RemoveInfoPollUser(Server& server);

}  // namespace orvana
