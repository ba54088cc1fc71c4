#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/env.h"

namespace orvana::platform {

std::string ExecutableDirectory() {
    std::vector<char> buf(4096);
    ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0) return "./";
    std::string path(buf.data(), static_cast<size_t>(n));
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "./" : path.substr(0, slash + 1);
}

bool ReadWholeFile(const std::string& path, std::string* content, std::string* error) {
    int fd = CurrentEnv().Open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    content->clear();
    char buf[65536];
    for (;;) {
        ssize_t n = CurrentEnv().Read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = path + ": " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        content->append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return true;
}

BoundedRead ReadRegularFile(const std::string& path, size_t limit, std::string* content) {
    int fd = CurrentEnv().Open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0);
    if (fd < 0) return BoundedRead::Missing;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return BoundedRead::Missing;
    }
    content->clear();
    char buf[16384];
    for (;;) {
        ssize_t n = CurrentEnv().Read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return BoundedRead::Missing;
        }
        if (n == 0) break;
        if (content->size() + static_cast<size_t>(n) > limit) {
            ::close(fd);
            content->clear();
            return BoundedRead::TooBig;
        }
        content->append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return BoundedRead::Ok;
}

bool WriteWholeFile(const std::string& path, const std::string& content, std::string* error) {
    int fd = CurrentEnv().Open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = CurrentEnv().Write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = path + ": " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (::close(fd) != 0) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace orvana::platform
