#include "platform/port_folder.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
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

bool IsComPortName(const std::string& name) {
    if (name.size() < 4 || name.size() > 6 || name.compare(0, 3, "COM") != 0) return false;
    if (!std::all_of(name.begin() + 3, name.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    const unsigned long n = std::strtoul(name.c_str() + 3, nullptr, 10);
    return n >= 1 && n <= 255 && name[3] != '0';
}

bool LinkComPort(const std::string& folder, const std::string& name, const std::string& device,
                 std::string* error) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) {
        *error = folder + ": " + ec.message();
        return false;
    }
    const std::string link = folder + "/" + name;
    // A new link beside the old one, renamed over it: the entry is never missing meanwhile.
    const std::string fresh = link + ".new";
    ::unlink(fresh.c_str());
    if (::symlink(device.c_str(), fresh.c_str()) != 0 ||
        ::rename(fresh.c_str(), link.c_str()) != 0) {
        *error = link + ": " + std::strerror(errno);
        ::unlink(fresh.c_str());
        return false;
    }
    return true;
}

bool UnlinkComPort(const std::string& folder, const std::string& name, std::string* error) {
    const std::string link = folder + "/" + name;
    if (::unlink(link.c_str()) == 0) return true;
    *error = link + ": " + std::strerror(errno);
    return false;
}

ComPortLink ReadComPortLink(const std::string& folder, const std::string& name) {
    ComPortLink l;
    l.name = name;
    const std::string link = folder + "/" + name;
    char target[4096];
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n > 0) l.device.assign(target, static_cast<size_t>(n));
    struct stat st {};
    l.present = ::stat(link.c_str(), &st) == 0;
    return l;
}

}  // namespace orvana::platform
