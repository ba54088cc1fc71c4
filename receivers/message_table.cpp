#include "receivers/message_table.h"

#include "core/text.h"

namespace orvana {
namespace {

constexpr const char* kPrefixes[kMessageGroups] = {"jps/", "cmr/", "nmea/", "rtcm/"};
constexpr const char* kListCommands[kMessageGroups] = {"list,/msg/jps", "list,/msg/cmr",
                                                       "list,/msg/nmea", "list,/msg/rtcm"};

}  // namespace

const char* GroupPrefix(int group) {
    return group >= 0 && group < kMessageGroups ? kPrefixes[group] : "";
}
const char* GroupListCommand(int group) {
    return group >= 0 && group < kMessageGroups ? kListCommands[group] : "";
}

MessageTable::MessageTable() {
    masks_[kGroupJps].set(0);
    masks_[kGroupAll].set();
}

const MessageMask& MessageTable::GroupMask(int group) const {
    return masks_[group >= 0 && group <= kMessageGroups ? group : kGroupAll];
}

bool MessageTable::WasIgnored(int group, std::string_view name) const {
    const std::string full = GroupPrefix(group) + std::string(name);
    for (const std::string& n : ignored_)
        if (n == full) return true;
    return false;
}

int MessageTable::End() const {
    int i = 0;
    while (i < kMessageTableSize && !entries_[i].name.empty()) ++i;
    return i;
}

void MessageTable::AddListReply(int group, std::string_view reply, int* next_index) {
    size_t open = reply.find('{');
    std::string rest(open == std::string_view::npos ? std::string_view() : reply.substr(open + 1));
    size_t close = rest.find('}');
    if (close != std::string::npos) rest.erase(close, 1);
    size_t start = 0;
    for (;;) {
        size_t comma = rest.find(',', start);
        bool last = comma == std::string::npos;
        std::string piece = rest.substr(start, last ? std::string::npos : comma - start);
        if (last) piece = std::string(TrimWhiteSpace(piece));
        // An empty name would end the table for every later name, and a full table takes no
        // more: both are skipped.
        if (!piece.empty() && *next_index < kMessageTableSize) {
            entries_[*next_index].group = static_cast<uint8_t>(group);
            entries_[*next_index].name = piece;
            masks_[group].set(static_cast<size_t>(*next_index));
            ++*next_index;
        } else if (!piece.empty()) {
            ++ignored_count_;
            if (ignored_.size() < kMaxIgnoredKept) ignored_.push_back(GroupPrefix(group) + piece);
        }
        if (last) break;
        start = comma + 1;
    }
}

bool MessageTable::Build(const ListCommand& list_command) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!entries_[0].name.empty()) return true;
    entries_[0].name = "WL";
    entries_[0].group = kGroupJps;
    int next = 1;
    for (int g = 0; g < kMessageGroups; ++g) {
        std::string reply;
        if (!list_command(kListCommands[g], &reply)) return false;
        AddListReply(g, reply, &next);
    }
    return true;
}

}  // namespace orvana
