#pragma once
// What the NTRIP tests share: a server binary with its caster on a free port and a simulated
// receiver on TCP sending real RTCM, mountpoints in the store, a plain HTTP connection to the
// caster, and the RTCM frames found in a byte stream.

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/config_keys.h"
#include "ntrip/http_head.h"
#include "ntrip/rtcm3.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "tests/server_harness.h"
#include "tests/tcp_link_harness.h"

namespace orvana::test {

inline void EnableCaster(const ConfigStore& store) {
    store.WriteFlag(cfg::kNtripKey, cfg::kEnableCaster.name, true);
    store.WriteNumber(cfg::kNtripKey, cfg::kCasterPort.name, 0);
}

inline void AddMountpoint(const ConfigStore& store, const std::string& name,
                          const std::string& receiver, const std::string& messages,
                          bool public_access = false) {
    const std::string key = std::string(cfg::kMountpointsKey) + name;
    store.WriteText(key, cfg::kMountReceiver.name, receiver);
    store.WriteText(key, cfg::kMountMessages.name, messages);
    store.WriteFlag(key, cfg::kMountPublic.name, public_access);
    store.WriteText(key, cfg::kMountCountry.name, "CZE");
    store.WriteText(key, cfg::kMountLatitude.name, "50.09");
    store.WriteText(key, cfg::kMountLongitude.name, "14.42");
}

inline void AddRelay(const ConfigStore& store, const std::string& name,
                     const std::string& source_password) {
    const std::string key = std::string(cfg::kMountpointsKey) + name;
    store.WriteFlag(key, cfg::kMountRelay.name, true);
    store.WriteText(key, cfg::kMountSourcePassword.name, source_password);
}

inline void AddUpload(const ConfigStore& store, const std::string& name, const std::string& mount,
                      uint16_t port, const std::string& remote_mount, const std::string& password,
                      int version) {
    const std::string key = std::string(cfg::kUploadsKey) + name;
    store.WriteText(key, cfg::kUploadMountpoint.name, mount);
    store.WriteText(key, cfg::kUploadHost.name, "127.0.0.1");
    store.WriteNumber(key, cfg::kUploadPort.name, port);
    store.WriteText(key, cfg::kUploadRemoteMount.name, remote_mount);
    store.WriteText(key, cfg::kUploadUser.name, "station");
    store.WriteText(key, cfg::kUploadPassword.name, password);
    store.WriteNumber(key, cfg::kUploadVersion.name, static_cast<uint32_t>(version));
}

// The caster's port from the server's "NTRIP caster on port N" line; 0 when it did not say.
inline uint16_t CasterPort(const ServerProcess& server) {
    return AnnouncedPort(server, "NTRIP caster");
}

// One plain TCP connection to the caster.
class HttpConnection {
  public:
    ~HttpConnection() { platform::CloseSocket(fd_); }
    bool Connect(uint16_t port, int receive_buffer = 0) {
        fd_ = platform::OpenStreamSocket();
        if (receive_buffer > 0) platform::SetReceiveBuffer(fd_, receive_buffer);
        return fd_ != platform::kNoSocket && platform::Connect(fd_, {0x7F000001, port}, 5000);
    }
    bool Send(const std::string& text) {
        return platform::SendAll(fd_, text.data(), text.size(), 5000) ==
               static_cast<long>(text.size());
    }
    // Reads for `ms` or until the peer closes; what came is appended to `got`.
    bool ReadFor(uint32_t ms) {
        const uint32_t start = platform::TickCount();
        for (;;) {
            const uint32_t spent = platform::TickCount() - start;
            if (spent >= ms) return true;
            if (platform::WaitReadable(fd_, ms - spent) <= 0) return true;
            char buffer[65536];
            const long n = platform::ReceiveOnce(fd_, buffer, sizeof buffer, false);
            if (n <= 0) {
                closed = true;
                return false;
            }
            got.append(buffer, static_cast<size_t>(n));
        }
    }
    // Reads until `needle` has come (or `ms` passed).
    bool ReadUntil(const std::string& needle, uint32_t ms = 10000) {
        const uint32_t start = platform::TickCount();
        while (got.find(needle) == std::string::npos) {
            const uint32_t spent = platform::TickCount() - start;
            if (spent >= ms || !ReadFor(std::min<uint32_t>(100, ms - spent))) break;
        }
        return got.find(needle) != std::string::npos;
    }
    // Request and answer in one: the whole answer of a request the caster closes after.
    std::string Exchange(const std::string& request) {
        if (!Send(request)) return "";
        ReadFor(5000);
        return got;
    }
    std::string got;
    bool closed = false;

  private:
    platform::SocketFd fd_ = platform::kNoSocket;
};

// The metrics endpoint on a free port, for a server not yet started.
inline void EnableMetrics(ConfigStore& store) {
    store.WriteFlag(cfg::kMetricsKey, cfg::kEnableMetrics.name, true);
    store.WriteNumber(cfg::kMetricsKey, cfg::kMetricsPort.name, 0);
}

// One scrape of the server's metrics endpoint: the whole HTTP answer.
inline std::string ScrapeMetrics(const ServerProcess& server) {
    HttpConnection http;
    if (!http.Connect(AnnouncedPort(server, "Metrics"))) return "";
    return http.Exchange("GET /metrics HTTP/1.0\r\n\r\n");
}

inline std::string GetRequest(const std::string& mount, const std::string& user_password,
                              bool version2) {
    std::string r = "GET /" + mount + (version2 ? " HTTP/1.1\r\n" : " HTTP/1.0\r\n");
    r += "User-Agent: NTRIP OrvanaTest/1.0\r\n";
    if (version2) r += "Host: 127.0.0.1\r\nNtrip-Version: Ntrip/2.0\r\n";
    if (!user_password.empty())
        r += "Authorization: Basic " + ntrip::Base64Encode(user_password) + "\r\n";
    return r + "\r\n";
}

// The RTCM frames of a byte stream, by message number.
struct RtcmSummary {
    size_t Of(unsigned number) const {
        const auto it = count.find(number);
        return it == count.end() ? 0 : it->second;
    }
    std::map<unsigned, size_t> count;
    std::vector<std::string> frames;
    uint64_t junk = 0;  // bytes that were no frame, and frames with a bad CRC
};

inline RtcmSummary ScanRtcm(const std::string& bytes) {
    RtcmSummary s;
    rtcm3::FrameScanner scanner;
    scanner.Append(bytes);
    rtcm3::FrameScanner::Frame f;
    while (scanner.Next(&f)) {
        ++s.count[f.message_number];
        s.frames.push_back(f.bytes);
    }
    s.junk = scanner.skipped_bytes() + scanner.bad_frames();
    return s;
}

// A rover on `mount` until it has `frames` RTCM frames of each of `numbers`; what it got after
// the answer's head.
inline RtcmSummary RoverUntil(uint16_t port, const std::string& mount,
                              const std::vector<unsigned>& numbers, size_t frames,
                              std::string* head = nullptr) {
    HttpConnection rover;
    RtcmSummary got;
    if (!rover.Connect(port) || !rover.Send(GetRequest(mount, "rover:pw", false))) return got;
    WaitUntil(
        [&] {
            rover.ReadFor(100);
            const size_t at = rover.got.find("\r\n");
            got = ScanRtcm(at == std::string::npos ? "" : rover.got.substr(at + 2));
            for (unsigned n : numbers)
                if (got.count[n] < frames) return false;
            return true;
        },
        30000);
    if (head) *head = rover.got.substr(0, rover.got.find("\r\n") + 2);
    return got;
}

// The body of an HTTP/1.1 chunked stream; false when its framing is broken. A last piece that
// has not come whole is left out.
inline bool Unchunk(const std::string& stream, std::string* body) {
    size_t at = 0;
    while (at < stream.size()) {
        const size_t line_end = stream.find("\r\n", at);
        if (line_end == std::string::npos) return true;
        const std::string size_text = stream.substr(at, line_end - at);
        if (size_text.empty() ||
            size_text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            return false;
        const size_t size = std::stoul(size_text, nullptr, 16);
        if (line_end + 2 + size + 2 > stream.size()) return true;
        if (stream.compare(line_end + 2 + size, 2, "\r\n") != 0) return false;
        body->append(stream, line_end + 2, size);
        at = line_end + 2 + size + 2;
    }
    return true;
}

}  // namespace orvana::test
