#pragma once
// The server-wide table of receiver message names. The number of a name (its message index) is
// what a receiver puts in byte 5 of each data container and what a client sees in the data
// frame's type. Learned once, from the first receiver opened; read-only afterwards.

#include <bitset>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace orvana {

inline constexpr int kMessageTableSize = 256;
using MessageMask = std::bitset<kMessageTableSize>;

enum MessageGroup : uint8_t {
    kGroupJps = 0,
    kGroupCmr = 1,
    kGroupNmea = 2,
    kGroupRtcm = 3,
    kGroupAll = 4
};
inline constexpr int kMessageGroups = 4;

// Prefix ("jps/") and list command ("list,/msg/jps") of groups 0 to 3; "" otherwise.
const char* GroupPrefix(int group);
const char* GroupListCommand(int group);

struct MessageEntry {
    uint8_t group = 0;
    std::string name;  // empty: the table ends here
};

class MessageTable {
  public:
    MessageTable();

    // Sends one list command and gives the receiver's whole reply text; false on failure.
    using ListCommand = std::function<bool(const char* command, std::string* reply)>;

    // Builds the table once per server run; later calls return true at once. A build that
    // fails part-way is not repeated and keeps the names read so far. Names past the table's
    // 256 places are ignored. Takes lock().
    bool Build(const ListCommand& list_command);

    // Read-only once built. Entries past the end are empty.
    const MessageEntry& Entry(int index) const { return entries_[index & 0xFF]; }
    // Mask of group 0 to 3, or of code 4 (all bits).
    const MessageMask& GroupMask(int group) const;
    // One past the last named entry.
    int End() const;
    // Names the receiver listed after all 256 places were taken: they have no index, so no
    // client can ask for them. Read-only once built, like the entries.
    int IgnoredCount() const { return ignored_count_; }
    bool WasIgnored(int group, std::string_view name) const;

    // Adds the names of one list reply ("RE...{a,b,c}") as entries of `group` from *next_index.
    // REQUIRES: lock() held or the table not yet shared.
    void AddListReply(int group, std::string_view reply, int* next_index);

    std::mutex& lock() { return mu_; }

  private:
    std::mutex mu_;  // the message table lock
    MessageEntry entries_[kMessageTableSize];
    MessageMask masks_[kMessageGroups + 1];
    int ignored_count_ = 0;
    std::vector<std::string> ignored_;  // "jps/NAME", the first kMaxIgnoredKept of them
    static constexpr size_t kMaxIgnoredKept = 1024;
};

}  // namespace orvana
