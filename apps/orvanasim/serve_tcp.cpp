#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "apps/orvanasim/serve.h"
#include "apps/orvanasim/session.h"
#include "platform/clock.h"
#include "platform/net.h"

namespace orvana::sim {
namespace {

using platform::SocketFd;

constexpr uint32_t kSendTimeoutMs = 5000;
constexpr uint32_t kLoginWaitMs = 30000;
constexpr size_t kMaxConnections = 8;
// What a receiver's network port holds before it stops taking output; the kernel would otherwise
// grow the send buffer to megabytes, and a reply would wait behind all of it.
constexpr int kPortSendBuffer = 65536;

class TcpPeer : public Peer {
  public:
    explicit TcpPeer(SocketFd fd) : fd_(fd) { platform::SetSendBuffer(fd_, kPortSendBuffer); }
    ~TcpPeer() override {
        platform::ShutdownSocket(fd_);
        platform::CloseSocket(fd_);
    }
    TcpPeer(const TcpPeer&) = delete;
    TcpPeer& operator=(const TcpPeer&) = delete;

    bool Write(std::string_view bytes) override {
        if (bytes.empty()) return true;
        return platform::SendAll(fd_, bytes.data(), bytes.size(), kSendTimeoutMs) ==
               static_cast<long>(bytes.size());
    }
    int WaitReadable(uint32_t timeout_ms) override {
        return platform::WaitReadable(fd_, timeout_ms);
    }
    long Read(char* buffer, size_t length) override {
        long n = platform::ReceiveOnce(fd_, buffer, length, false);
        return n <= 0 ? -1 : n;
    }

  private:
    SocketFd fd_;
};

// Reads up to and including a line feed; the bytes after it stay in `rest`. False when the host
// left, time ran out or a stop was asked for.
bool ReadLoginLine(TcpPeer& peer, std::string* line, std::string* rest) {
    const uint32_t start = platform::TickCount();
    line->clear();
    std::string buffered;
    buffered.swap(*rest);
    for (;;) {
        size_t lf = buffered.find('\n');
        if (lf != std::string::npos) {
            line->assign(buffered, 0, lf);
            rest->assign(buffered, lf + 1);
            if (!line->empty() && line->back() == '\r') line->pop_back();
            return true;
        }
        if (buffered.size() > 1024 || StopRequested()) return false;
        if (platform::TickCount() - start > kLoginWaitMs) return false;
        int ready = peer.WaitReadable(100);
        if (ready < 0) return false;
        if (ready == 0) continue;
        char chunk[256];
        long n = peer.Read(chunk, sizeof chunk);
        if (n < 0) return false;
        buffered.append(chunk, static_cast<size_t>(n));
    }
}

// The greeting comes in two pieces with a pause between them, as the host reads it in two
// receives; then a prompt for the user line, a prompt for the password, and the verdict.
bool RunLogin(TcpPeer& peer, const Options& options, std::string* rest) {
    if (!peer.Write("\r\n" + options.greeting + "\r\n")) return false;
    platform::SleepMs(200);
    if (!peer.Write("login: ")) return false;
    std::string line;
    if (!ReadLoginLine(peer, &line, rest)) return false;
    if (!peer.Write("password: ")) return false;
    if (!ReadLoginLine(peer, &line, rest)) return false;
    if (line != options.password) {
        Note("login refused");
        peer.Write("\r\nLogin incorrect\r\n");
        return false;
    }
    return peer.Write("\r\nRE002OK\r\n");
}

std::string TermFor(const Options& options, unsigned connection) {
    if (!options.term.empty()) return options.term;
    return std::string("/dev/tcp/") + static_cast<char>('a' + connection % 26);
}

// One host connection from accept to close, on a thread of its own.
void ServeConnection(const Options& options, Transcript* transcript, SocketFd fd,
                     std::string term) {
    TcpPeer peer(fd);
    std::string rest;
    if (options.use_login) {
        if (!RunLogin(peer, options, &rest)) {
            Note("login did not complete on " + term);
            return;
        }
    } else if (!peer.Write("\r\n" + options.greeting + "\r\n")) {
        return;
    }
    SimReceiver receiver(options, peer, term, transcript);
    SessionEnd end = RunSession(receiver, peer, rest);
    Note(term + (end == SessionEnd::HostLeft ? ": host left" : ": connection closed"));
}

struct Connection {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
};

}  // namespace

// Hosts are served side by side: a file transfer comes in on a second connection while the
// first stays open.
int ServeTcp(const Options& options, Transcript* transcript) {
    platform::Ipv4Endpoint at;
    if (!platform::ParseDotted(options.address, &at.address) || !platform::IsLoopback(at.address)) {
        Note("--address must be a loopback address: " + options.address);
        return 2;
    }
    SocketFd listener = platform::OpenStreamSocket();
    if (listener == platform::kNoSocket) {
        Note("cannot create a socket");
        return 1;
    }
    at.port = options.port;
    if (!platform::Bind(listener, at) || !platform::Listen(listener, 4)) {
        Note("cannot listen on " + options.address + ":" + std::to_string(options.port) +
             " (error " + std::to_string(platform::LastSocketError()) + ")");
        platform::CloseSocket(listener);
        return 1;
    }
    platform::Ipv4Endpoint bound;
    platform::LocalEndpoint(listener, &bound);
    std::printf("Listening on %s:%u\n", options.address.c_str(), bound.port);
    std::fflush(stdout);

    std::vector<Connection> connections;
    auto reap = [&connections] {
        std::erase_if(connections, [](Connection& c) {
            if (!c.done->load()) return false;
            c.thread.join();
            return true;
        });
    };
    unsigned count = 0;
    while (!StopRequested()) {
        reap();
        if (platform::WaitReadable(listener, 100) <= 0) continue;
        platform::Ipv4Endpoint from;
        SocketFd fd = platform::Accept(listener, &from);
        if (fd == platform::kNoSocket) continue;
        if (connections.size() >= kMaxConnections) {
            Note("refused a host: " + std::to_string(kMaxConnections) + " already connected");
            platform::CloseSocket(fd);
            continue;
        }
        std::string term = TermFor(options, count++);
        Note("host connected from " + platform::DottedAddress(from.address) + ":" +
             std::to_string(from.port) + " as " + term);
        auto done = std::make_shared<std::atomic<bool>>(false);
        std::thread thread([&options, transcript, fd, term, done] {
            ServeConnection(options, transcript, fd, term);
            done->store(true);
        });
        connections.push_back(Connection{std::move(thread), std::move(done)});
    }
    // Every connection sees the stop within its next short wait.
    for (Connection& c : connections) c.thread.join();
    platform::CloseSocket(listener);
    Note("stopped");
    return 0;
}

}  // namespace orvana::sim
