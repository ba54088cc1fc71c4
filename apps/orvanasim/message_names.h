#pragma once
// The messages this receiver can output, in its four groups. Index 0 is "WL" of "jps/"; the
// others follow group by group in list order, which is also the numbering a host builds from the
// four list replies, so an "em" item without an explicit index still gets the index the host
// expects.

#include <string>
#include <vector>

namespace orvana::sim {

inline constexpr const char* kGroupPrefixes[4] = {"jps/", "cmr/", "nmea/", "rtcm/"};

struct MessageNames {
    std::vector<std::string> groups[4];  // names without prefix, in list order

    // The receiver index of "prefix/name", -1 when unknown.
    int IndexOf(const std::string& prefixed) const;
    // The group code of a list command's group word ("jps", "cmr", "nmea", "rtcm"), -1 if none.
    static int GroupOf(const std::string& word);
    // The body of the reply to "list,/msg/<group>": "{A,B,C}".
    std::string ListReply(int group) const;
};

MessageNames DefaultMessageNames();

// Reads names from a file: "group/name" entries separated by blanks or line ends; "#" starts a
// comment. False with `error` set on an unreadable file or a bad entry.
bool LoadMessageNames(const std::string& path, MessageNames* names, std::string* error);

}  // namespace orvana::sim
