#include "platform/input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/env.h"

namespace orvana::platform {

std::unique_ptr<InputFile> InputFile::Open(const std::string& path) {
    const int fd = CurrentEnv().Open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK, 0);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<InputFile>(new InputFile(fd, static_cast<int64_t>(st.st_size)));
}

InputFile::~InputFile() {
    ::close(fd_);
}

long InputFile::Read(void* data, size_t size) {
    size_t done = 0;
    auto* out = static_cast<char*>(data);
    while (done < size) {
        const ssize_t n = CurrentEnv().Read(fd_, out + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<long>(done);
}

}  // namespace orvana::platform
