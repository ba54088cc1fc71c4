#include "platform/port_folder.h"

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace orvana::platform {

std::vector<std::string> ListComPorts(const std::string& folder) {
    std::vector<std::pair<unsigned long, std::string>> found;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir) return {};
    while (dirent* e = ::readdir(dir.get())) {
        std::string name = e->d_name;
        if (name.size() < 4 || name.compare(0, 3, "COM") != 0) continue;
        if (!std::all_of(name.begin() + 3, name.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        found.emplace_back(std::strtoul(name.c_str() + 3, nullptr, 10), name);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> names;
    for (auto& f : found) names.push_back(std::move(f.second));
    return names;
}

}  // namespace orvana::platform
