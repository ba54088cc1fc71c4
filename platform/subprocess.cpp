#include "platform/subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/clock.h"

extern char** environ;

namespace orvana::platform {
namespace {

int DecodeStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

Subprocess::~Subprocess() {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        int st = 0;
        while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
        }
    }
    if (out_fd_ >= 0) ::close(out_fd_);
    if (err_fd_ >= 0) ::close(err_fd_);
}

bool Subprocess::Start(const std::vector<std::string>& argv, std::string* error,
                       const std::vector<std::string>& extra_env) {
    if (argv.empty()) {
        *error = "no program";
        return false;
    }
    if (Running()) {
        *error = "the previous child is still running";
        return false;
    }
    // A reused object starts afresh: the status of an earlier child would hide this one from
    // Running, Wait and the destructor's kill.
    if (out_fd_ >= 0) ::close(out_fd_);
    if (err_fd_ >= 0) ::close(err_fd_);
    out_fd_ = err_fd_ = -1;
    pid_ = -1;
    status_.reset();
    out_buf_.clear();
    out_all_.clear();
    err_all_.clear();
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        *error = std::strerror(errno);
        return false;
    }
    if (::pipe2(err, O_CLOEXEC) != 0) {
        *error = std::strerror(errno);
        ::close(out[0]);
        ::close(out[1]);
        return false;
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> env_store;
    // An extra entry replaces the inherited one of its name: getenv takes the first it finds.
    auto name_of = [](const std::string& entry) { return entry.substr(0, entry.find('=') + 1); };
    for (char** e = environ; *e; ++e) {
        const std::string entry(*e);
        bool replaced = false;
        for (const auto& x : extra_env) replaced = replaced || name_of(x) == name_of(entry);
        if (!replaced) env_store.push_back(entry);
    }
    for (const auto& e : extra_env) env_store.push_back(e);
    std::vector<char*> env;
    for (auto& e : env_store) env.push_back(e.data());
    env.push_back(nullptr);

    pid_t pid = ::fork();
    if (pid < 0) {
        *error = std::strerror(errno);
        for (int fd : {out[0], out[1], err[0], err[1]}) ::close(fd);
        return false;
    }
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::execve(args[0], args.data(), env.data());
        const char msg[] = "exec failed\n";
        ssize_t ignored = ::write(2, msg, sizeof msg - 1);
        (void)ignored;
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
    ::fcntl(err_fd_, F_SETFL, O_NONBLOCK);
    ::fcntl(out_fd_, F_SETFL, O_NONBLOCK);
    pid_ = pid;
    return true;
}

bool Subprocess::Running() {
    if (pid_ <= 0 || status_) return false;
    int st = 0;
    pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        status_ = DecodeStatus(st);
        return false;
    }
    return true;
}

std::optional<std::string> Subprocess::ReadLine(uint32_t timeout_ms) {
    uint32_t start = TickCount();
    for (;;) {
        size_t nl = out_buf_.find('\n');
        if (nl != std::string::npos) {
            std::string line = out_buf_.substr(0, nl);
            out_buf_.erase(0, nl + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return line;
        }
        if (out_fd_ < 0) return std::nullopt;
        uint32_t spent = TickCount() - start;
        if (spent >= timeout_ms) return std::nullopt;
        pollfd p{out_fd_, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(timeout_ms - spent));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return std::nullopt;
        char buf[4096];
        ssize_t n = ::read(out_fd_, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {
            ::close(out_fd_);
            out_fd_ = -1;
            continue;
        }
        out_buf_.append(buf, static_cast<size_t>(n));
        out_all_.append(buf, static_cast<size_t>(n));
    }
}

std::optional<std::string> Subprocess::WaitForLine(const std::string& needle, uint32_t timeout_ms) {
    uint32_t start = TickCount();
    for (;;) {
        uint32_t spent = TickCount() - start;
        if (spent >= timeout_ms) return std::nullopt;
        auto line = ReadLine(timeout_ms - spent);
        if (!line) return std::nullopt;
        if (line->find(needle) != std::string::npos) return line;
    }
}

void Subprocess::Drain(int fd, std::string* into) {
    if (fd < 0) return;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        into->append(buf, static_cast<size_t>(n));
    }
}

std::string Subprocess::Stderr() {
    Drain(err_fd_, &err_all_);
    return err_all_;
}

bool Subprocess::Signal(int signo) {
    return pid_ > 0 && !status_ && ::kill(pid_, signo) == 0;
}

std::optional<int> Subprocess::Wait(uint32_t timeout_ms) {
    uint32_t start = TickCount();
    for (;;) {
        const bool running = Running();
        // Keep the pipes from filling up while the child finishes; once it has ended, its last
        // words are still in them.
        Drain(err_fd_, &err_all_);
        std::string more;
        Drain(out_fd_, &more);
        out_buf_ += more;
        out_all_ += more;
        if (!running) return status_;
        if (TickCount() - start >= timeout_ms) return std::nullopt;
        SleepMs(5);
    }
}

bool StartDetached(const std::vector<std::string>& argv, std::string* error) {
    static std::mutex mu;
    static std::vector<pid_t> started;
    std::lock_guard<std::mutex> lock(mu);
    for (auto it = started.begin(); it != started.end();)
        it = waitpid(*it, nullptr, WNOHANG) == 0 ? it + 1 : started.erase(it);
    if (argv.empty()) {
        *error = "no program";
        return false;
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    // posix_spawnp reports a program that cannot be run, which a bare fork would not.
    const int r = posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ);
    if (r != 0) {
        *error = argv[0] + ": " + std::strerror(r);
        return false;
    }
    started.push_back(pid);
    return true;
}

}  // namespace orvana::platform
