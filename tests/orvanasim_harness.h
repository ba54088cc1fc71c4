#pragma once
// What the simulator tests share: the simulator started as a program, and the host's end of its
// line (a TCP connection or the pty slave) that reads the receiver's messages and frames with
// bounded waits. The checksum and CRC here are written from the protocol, not taken from the
// simulator, so a fault in either shows as a mismatch.

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/text.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "platform/pty.h"
#include "platform/subprocess.h"
#include "tests/support/test_env.h"

namespace orvana::simtest {

inline uint8_t Checksum(std::string_view bytes) {
    uint8_t v = 0;
    for (char c : bytes) v = static_cast<uint8_t>(((v << 2) | (v >> 6)) ^ static_cast<uint8_t>(c));
    return static_cast<uint8_t>((v << 2) | (v >> 6));
}

// The line as the server sends it: "@" and "%2x" of the checksum over the line and the "@".
inline std::string Checksummed(const std::string& line) {
    std::string with_at = line + "@";
    char sum[4];
    std::snprintf(sum, sizeof sum, "%2x", Checksum(with_at));
    return with_at + sum + "\r\n";
}

// CRC-16 0x1021, MSB first, bit by bit.
inline uint16_t Crc16(uint16_t crc, std::string_view bytes) {
    for (char b : bytes) {
        crc = static_cast<uint16_t>(crc ^ (static_cast<unsigned char>(b) << 8));
        for (int k = 0; k < 8; ++k)
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

inline uint16_t Le16(std::string_view s, size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(s[at]) |
                                 (static_cast<unsigned char>(s[at + 1]) << 8));
}

inline int Hex(char c) {
    return HexDigitValue(c);
}

// A data container taken apart.
struct Container {
    unsigned index = 0;
    std::string payload;
    bool checksum_ok = false;
    long message_sequence() const { return std::stol(payload.substr(0, 10)); }
    long stream_sequence() const { return std::stol(payload.substr(11, 10)); }
    std::string name() const { return payload.size() > 22 ? payload.substr(22) : ""; }
};

inline Container ParseContainer(const std::string& m) {
    Container c;
    c.index = static_cast<unsigned char>(m[5]);
    c.payload = m.substr(6, m.size() - 8);
    int hi = Hex(m[m.size() - 2]), lo = Hex(m[m.size() - 1]);
    c.checksum_ok = hi >= 0 && lo >= 0 &&
                    (hi * 16 + lo) == Checksum(std::string_view(m).substr(0, m.size() - 2));
    return c;
}

// The host's end of the receiver's line.
class HostEnd {
  public:
    virtual ~HostEnd() = default;
    virtual bool Send(std::string_view bytes) = 0;

    // Reads for `ms` whatever comes.
    void Collect(uint32_t ms) {
        const uint32_t start = platform::TickCount();
        while (platform::TickCount() - start < ms) {
            if (ReadSome(20) < 0) return;
        }
    }
    // Reads until `got` holds at least `n` bytes; false on time-out or a closed line.
    bool WaitForBytes(size_t n, uint32_t ms) {
        const uint32_t start = platform::TickCount();
        while (got.size() < n) {
            if (platform::TickCount() - start >= ms) return false;
            if (ReadSome(50) < 0) return got.size() >= n;
        }
        return true;
    }
    // Exactly `n` bytes, taken from the front.
    std::optional<std::string> Take(size_t n, uint32_t ms = 5000) {
        if (!WaitForBytes(n, ms)) return std::nullopt;
        std::string out = got.substr(0, n);
        got.erase(0, n);
        return out;
    }
    // The next "RE", "ER" or ">>" message; bytes before it that start none go to `skipped`.
    std::optional<std::string> NextMessage(uint32_t ms = 5000, std::string* skipped = nullptr) {
        const uint32_t start = platform::TickCount();
        for (;;) {
            size_t at = 0;
            while (at + 5 <= got.size()) {
                std::string_view id(got.data() + at, 2);
                int a = Hex(got[at + 2]), b = Hex(got[at + 3]), c = Hex(got[at + 4]);
                if ((id == "RE" || id == "ER" || id == ">>") && a >= 0 && b >= 0 && c >= 0) break;
                ++at;
            }
            if (at + 5 <= got.size()) {
                size_t len = static_cast<size_t>(Hex(got[at + 2]) * 256 + Hex(got[at + 3]) * 16 +
                                                 Hex(got[at + 4]));
                if (got.size() >= at + 5 + len) {
                    if (skipped) skipped->append(got, 0, at);
                    std::string m = got.substr(at, 5 + len);
                    got.erase(0, at + 5 + len);
                    return m;
                }
            }
            if (platform::TickCount() - start >= ms) return std::nullopt;
            if (ReadSome(50) < 0 && platform::TickCount() - start >= 200) return std::nullopt;
        }
    }
    // The next message that is not a container.
    std::optional<std::string> NextReply(uint32_t ms = 5000) {
        const uint32_t start = platform::TickCount();
        while (platform::TickCount() - start < ms) {
            auto m = NextMessage(ms - (platform::TickCount() - start));
            if (!m) return m;
            if (m->compare(0, 2, ">>") != 0) return m;
        }
        return std::nullopt;
    }
    // Sends `line` and returns the next reply.
    std::optional<std::string> Ask(const std::string& line, uint32_t ms = 5000) {
        if (!Send(line)) return std::nullopt;
        return NextReply(ms);
    }

    std::string got;  // received, not yet taken
    bool closed = false;

  protected:
    // Appends what arrives within `wait_ms`: >0 bytes, 0 nothing, -1 closed.
    virtual long ReadSome(uint32_t wait_ms) = 0;
};

class TcpHost : public HostEnd {
  public:
    ~TcpHost() override { Close(); }
    bool Connect(uint16_t port) {
        const platform::Ipv4Endpoint at{0x7F000001, port};  // 127.0.0.1
        fd_ = platform::OpenStreamSocket();
        return fd_ != platform::kNoSocket && platform::Connect(fd_, at, 5000);
    }
    void Close() {
        if (fd_ != platform::kNoSocket) platform::CloseSocket(fd_);
        fd_ = platform::kNoSocket;
    }
    bool Send(std::string_view bytes) override {
        return platform::SendAll(fd_, bytes.data(), bytes.size(), 2000) ==
               static_cast<long>(bytes.size());
    }

  protected:
    long ReadSome(uint32_t wait_ms) override {
        if (closed) return -1;
        int r = platform::WaitReadable(fd_, wait_ms);
        if (r == 0) return 0;
        char b[8192];
        long n = r < 0 ? -1 : platform::ReceiveOnce(fd_, b, sizeof b, false);
        if (n <= 0) {
            closed = true;
            return -1;
        }
        got.append(b, static_cast<size_t>(n));
        return n;
    }

  private:
    platform::SocketFd fd_ = platform::kNoSocket;
};

class PtyHost : public HostEnd {
  public:
    bool Open(const std::string& path, uint32_t baud) {
        std::string error;
        bool ok = dev_.Open(path, baud, &error);
        EXPECT_TRUE(ok) << error;
        return ok;
    }
    bool SetSpeed(uint32_t baud) { return dev_.SetSpeed(baud); }
    bool Send(std::string_view bytes) override {
        return dev_.Write(bytes.data(), bytes.size(), 2000) == static_cast<long>(bytes.size());
    }

  protected:
    long ReadSome(uint32_t wait_ms) override {
        int r = dev_.WaitReadable(wait_ms);
        if (r <= 0) return r;
        char b[8192];
        long n = dev_.Read(b, sizeof b);
        if (n > 0) got.append(b, static_cast<size_t>(n));
        return n < 0 ? -1 : n;
    }

  private:
    platform::TerminalDevice dev_;
};

// The simulator program.
class Sim {
  public:
    ~Sim() { Stop(); }
    // Every message numbered, so that a gap shows a lost container; false: the real RTCM and
    // NMEA messages.
    bool numbered = true;
    // Starts it with `args` and waits for the line that names where it listens; the text after
    // `announce` ("Listening on 127.0.0.1:" or "Terminal ").
    std::optional<std::string> Start(const std::vector<std::string>& args,
                                     const std::string& announce) {
        std::vector<std::string> argv = {test::ProgramPath("orvanasim")};
        if (numbered) argv.push_back("--numbered");
        argv.insert(argv.end(), args.begin(), args.end());
        std::string error;
        if (!process_.Start(argv, &error)) {
            ADD_FAILURE() << error;
            return std::nullopt;
        }
        auto line = process_.WaitForLine(announce, 10000);
        if (!line) {
            ADD_FAILURE() << "no \"" << announce << "\" line; stderr: " << process_.Stderr();
            return std::nullopt;
        }
        return line->substr(line->find(announce) + announce.size());
    }
    std::optional<uint16_t> StartTcp(std::vector<std::string> args) {
        args.insert(args.begin(), {"--tcp", "0"});
        auto port = Start(args, "Listening on 127.0.0.1:");
        if (!port) return std::nullopt;
        return static_cast<uint16_t>(std::stoul(*port));
    }
    std::optional<std::string> StartPty(std::vector<std::string> args) {
        args.insert(args.begin(), "--pty");
        return Start(args, "Terminal ");
    }
    // SIGTERM; the exit status, or nullopt when it did not end in time.
    std::optional<int> Stop() {
        if (process_.pid() <= 0 || !process_.Running()) return exit_;
        process_.Signal(15);
        exit_ = process_.Wait(10000);
        return exit_;
    }
    // Everything it wrote on standard error so far.
    std::string Notes() { return process_.Stderr(); }
    bool WaitForNote(const std::string& needle, uint32_t ms = 5000) {
        return test::WaitUntil([&] { return Notes().find(needle) != std::string::npos; }, ms);
    }
    platform::Subprocess& process() { return process_; }

  private:
    platform::Subprocess process_;
    std::optional<int> exit_;
};

// A simulator on TCP with one host connected, its greeting read.
struct TcpSession {
    Sim sim;
    TcpHost host;
    uint16_t port = 0;
    bool Open(std::vector<std::string> args) {
        auto listening = sim.StartTcp(std::move(args));
        if (!listening) return false;
        port = *listening;
        if (!host.Connect(port)) return false;
        if (!host.WaitForBytes(1, 5000)) return false;
        host.Collect(100);
        host.got.clear();
        return true;
    }
};

}  // namespace orvana::simtest
