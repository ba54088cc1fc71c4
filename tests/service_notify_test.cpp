// The server under a service manager that asks to be told (systemd's Type=notify), played by
// the test: a datagram socket named in NOTIFY_SOCKET, a watchdog interval in WATCHDOG_USEC.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/net.h"
#include "tests/server_harness.h"
#include "tests/support/test_env.h"

namespace orvana {
namespace {

// What a service manager receives on its notification socket.
class NotifySocket {
  public:
    explicit NotifySocket(const std::string& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~NotifySocket() {
        if (fd_ >= 0) ::close(fd_);
        ::unlink(path_.c_str());
    }
    bool bound() const { return bound_; }
    // Takes the messages that come within `ms`.
    void Receive(uint32_t ms) {
        const uint32_t start = platform::TickCount();
        for (uint32_t spent = 0; spent < ms; spent = platform::TickCount() - start) {
            if (platform::WaitReadable(fd_, ms - spent) <= 0) return;
            char buffer[4096];
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n > 0) messages.emplace_back(buffer, static_cast<size_t>(n));
        }
    }
    // Until a message holds `needle` or `ms` pass; whether one did.
    bool WaitFor(const std::string& needle, uint32_t ms) {
        return test::WaitUntil(
            [&] {
                Receive(50);
                return Count(needle) > 0;
            },
            ms);
    }
    size_t Count(const std::string& needle) const {
        size_t n = 0;
        for (const std::string& m : messages) n += m.find(needle) != std::string::npos;
        return n;
    }
    std::vector<std::string> messages;

  private:
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
};

TEST(ServiceNotify, ReadyOnceListeningAliveAtTheWatchdogIntervalStoppingOnSigterm) {
    test::TempDir dir;
    NotifySocket manager(dir.File("notify"));
    ASSERT_TRUE(manager.bound());
    test::ServerProcess server;
    ASSERT_TRUE(server.Start({"NOTIFY_SOCKET=" + dir.File("notify"), "WATCHDOG_USEC=1000000"}));
    EXPECT_TRUE(manager.WaitFor(
        "READY=1\nSTATUS=Listening on 0.0.0.0:" + std::to_string(server.port()), 5000))
        << (manager.messages.empty() ? "" : manager.messages[0]);
    // Half the interval: three or more in two seconds.
    EXPECT_TRUE(test::WaitUntil(
        [&] {
            manager.Receive(100);
            return manager.Count("WATCHDOG=1") >= 3;
        },
        5000));
    EXPECT_EQ(manager.Count("STOPPING=1"), 0u);
    EXPECT_EQ(server.Stop(), 0);
    EXPECT_TRUE(manager.WaitFor("STOPPING=1", 5000));
}

TEST(ServiceNotify, WithoutAManagerTheServerRunsAsBefore) {
    test::ServerProcess server;
    ASSERT_TRUE(server.Start({"NOTIFY_SOCKET=", "WATCHDOG_USEC="}));
    EXPECT_EQ(server.Client()->Ask("Ping"), "RE:OK.");
    EXPECT_EQ(server.Stop(), 0);
}

}  // namespace
}  // namespace orvana
