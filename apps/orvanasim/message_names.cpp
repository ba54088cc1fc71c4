#include "apps/orvanasim/message_names.h"

#include <sstream>

#include "platform/files.h"

namespace orvana::sim {

int MessageNames::GroupOf(const std::string& word) {
    for (int g = 0; g < 4; ++g) {
        std::string prefix = kGroupPrefixes[g];
        if (word == prefix.substr(0, prefix.size() - 1)) return g;
    }
    return -1;
}

int MessageNames::IndexOf(const std::string& prefixed) const {
    int index = 1;
    for (int g = 0; g < 4; ++g) {
        const std::string prefix = kGroupPrefixes[g];
        for (const auto& name : groups[g]) {
            if (prefixed == prefix + name) return index;
            ++index;
        }
    }
    return prefixed == "jps/WL" ? 0 : -1;
}

std::string MessageNames::ListReply(int group) const {
    std::string body = "{";
    if (group >= 0 && group < 4) {
        for (size_t i = 0; i < groups[group].size(); ++i) {
            if (i) body += ",";
            body += groups[group][i];
        }
    }
    return body + "}";
}

MessageNames DefaultMessageNames() {
    MessageNames n;
    n.groups[0] = {"RT", "PO", "VE", "PV", "SI", "ET", "EL", "AZ"};
    n.groups[1] = {"OBS", "REF", "DESC"};
    n.groups[2] = {"GGA", "RMC", "GSV", "GSA", "ZDA"};
    n.groups[3] = {"1004", "1006", "1012", "1033", "1005", "1074", "1084", "1094", "1124"};
    return n;
}

bool LoadMessageNames(const std::string& path, MessageNames* names, std::string* error) {
    std::string text;
    if (!platform::ReadWholeFile(path, &text, error)) return false;
    MessageNames loaded;
    std::istringstream lines(text);
    std::string line;
    size_t count = 0;
    while (std::getline(lines, line)) {
        if (auto hash = line.find('#'); hash != std::string::npos) line.resize(hash);
        std::istringstream words(line);
        std::string entry;
        while (words >> entry) {
            size_t slash = entry.find('/');
            int group =
                slash == std::string::npos ? -1 : MessageNames::GroupOf(entry.substr(0, slash));
            std::string name = slash == std::string::npos ? "" : entry.substr(slash + 1);
            bool plain = !name.empty();
            for (char c : name) {
                if (c == ',' || c == '{' || c == '}' || c == ':' || c == '%') plain = false;
            }
            if (group < 0 || !plain) {
                *error = path + ": bad message entry \"" + entry +
                         "\" (want jps/NAME, cmr/NAME, "
                         "nmea/NAME or rtcm/NAME)";
                return false;
            }
            loaded.groups[group].push_back(name);
            // More than a host's table holds is allowed, so hosts can be tested at that limit;
            // names past index 255 are output only with an explicit index.
            if (++count > 1000) {
                *error = path + ": more than 1000 messages";
                return false;
            }
        }
    }
    *names = std::move(loaded);
    return true;
}

}  // namespace orvana::sim
