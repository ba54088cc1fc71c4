#include "platform/folders.h"

#include <cstdio>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/clock.h"
#include "platform/env.h"

namespace orvana::platform {

std::unique_ptr<AppendFile> AppendFile::Open(const std::string& path, std::string* error) {
    int fd = CurrentEnv().Open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = std::strerror(errno);
        return nullptr;
    }
    return std::unique_ptr<AppendFile>(new AppendFile(fd));
}

AppendFile::~AppendFile() {
    ::fdatasync(fd_);
    ::close(fd_);
}

size_t AppendFile::Append(const void* data, size_t size, std::string* error) {
    const char* p = static_cast<const char*>(data);
    size_t done = 0;
    while (done < size) {
        ssize_t n = CurrentEnv().Write(fd_, p + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *error = n == 0 ? "nothing written" : std::strerror(errno);
            return done;
        }
        done += static_cast<size_t>(n);
    }
    uint32_t now = TickCount();
    if (now - last_sync_ms_ >= 1000) {
        ::fdatasync(fd_);
        last_sync_ms_ = now;
    }
    return done;
}

std::unique_ptr<RandomFile> RandomFile::Open(const std::string& path) {
    int fd = CurrentEnv().Open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    return std::unique_ptr<RandomFile>(new RandomFile(fd));
}

RandomFile::~RandomFile() {
    ::fdatasync(fd_);
    ::close(fd_);
}

int64_t RandomFile::Size() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return -1;
    return st.st_size;
}

bool RandomFile::WriteAt(int64_t offset, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = CurrentEnv().WriteAt(fd_, p, size, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        offset += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool RandomFile::AppendAtEnd(const void* data, size_t size) {
    int64_t end = Size();
    return end >= 0 && WriteAt(end, data, size);
}

long RandomFile::ReadAt(int64_t offset, void* data, size_t size) const {
    size_t got = 0;
    char* p = static_cast<char*>(data);
    while (got < size) {
        ssize_t n = ::pread(fd_, p + got, size - got, offset + static_cast<int64_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return static_cast<long>(got);
}

std::vector<FileInfo> ListFiles(const std::string& folder, const std::string& prefix,
                                const std::string& suffix) {
    std::vector<FileInfo> out;
    DIR* d = ::opendir(folder.empty() ? "." : folder.c_str());
    if (d == nullptr) return out;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name.size() < prefix.size() + suffix.size()) continue;
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        if (name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) continue;
        std::string path = folder + "/" + name;
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        out.push_back({path, st.st_mtime});
    }
    ::closedir(d);
    return out;
}

bool RemoveFile(const std::string& path) {
    return ::unlink(path.c_str()) == 0;
}

bool RenameFile(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

bool MakeFolder(const std::string& path) {
    std::string partial;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || (path[i] == '/' && i > 0)) {
            partial = path.substr(0, i);
            if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
        }
    }
    return true;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace orvana::platform
