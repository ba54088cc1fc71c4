#include "platform/output_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/env.h"

namespace orvana::platform {
namespace {
bool Failed(const std::string& path, std::string* error) {
    if (error) *error = path + ": " + std::strerror(errno);
    return false;
}
}  // namespace

OutputFile::~OutputFile() {
    Close(nullptr);
}

bool OutputFile::Open(const std::string& path, std::string* error) {
    Close(nullptr);
    path_ = path;
    if (path == "-") {
        path_ = "standard output";
        fd_ = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
        return fd_ >= 0 || Failed(path_, error);
    }
    fd_ = CurrentEnv().Open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return fd_ >= 0 || Failed(path, error);
}

bool OutputFile::Write(std::string_view bytes, std::string* error) {
    if (fd_ < 0) {
        errno = EBADF;
        return Failed(path_, error);
    }
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = CurrentEnv().Write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return Failed(path_, error);
        done += static_cast<size_t>(n);
    }
    return true;
}

bool OutputFile::Close(std::string* error) {
    if (fd_ < 0) return true;
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc == 0 || Failed(path_, error);
}

}  // namespace orvana::platform
