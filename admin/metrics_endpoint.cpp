#include "admin/metrics_endpoint.h"

#include "admin/metrics_text.h"
#include "core/config_keys.h"
#include "core/config_store.h"
#include "core/server.h"
#include "ntrip/http_head.h"
#include "platform/clock.h"

namespace orvana::admin {
namespace {

constexpr uint32_t kStopCheckMs = 500;  // how soon Stop is noticed
constexpr uint32_t kHeadLimitMs = 3000;
constexpr uint32_t kSendLimitMs = 5000;

std::string Answer(const char* status, const char* type, const std::string& body) {
    return std::string("HTTP/1.1 ") + status + "\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
           body;
}

}  // namespace

MetricsConfig ReadMetricsConfig(const ConfigStore& store) {
    MetricsConfig c;
    c.enabled = store.ReadFlag(cfg::kMetricsKey, cfg::kEnableMetrics);
    c.address = store.ReadText(cfg::kMetricsKey, cfg::kMetricsAddress);
    const uint32_t port = store.ReadNumber(cfg::kMetricsKey, cfg::kMetricsPort);
    c.port = static_cast<uint16_t>(port <= 65535 ? port : cfg::kMetricsPort.fallback);
    return c;
}

bool MetricsEndpoint::Start(const MetricsConfig& config, std::string* error) {
    platform::Ipv4Endpoint at{0, config.port};
    if (!platform::ParseDotted(config.address, &at.address)) {
        *error = "metrics: bad address " + config.address;
        return false;
    }
    listener_ = platform::ListenNonBlocking(at, 16);
    if (listener_ == platform::kNoSocket) {
        *error = "metrics can't listen on " + config.address + ":" + std::to_string(at.port) +
                 ": " + platform::SocketErrorText(platform::LastSocketError());
        return false;
    }
    platform::Ipv4Endpoint bound;
    port_ = platform::LocalEndpoint(listener_, &bound) ? bound.port : at.port;
    thread_ = platform::Thread([this] { Run(); });
    server_.log().WriteLine("Metrics on http://" + config.address + ":" + std::to_string(port_) +
                            "/metrics");
    return true;
}

void MetricsEndpoint::Stop() {
    if (listener_ == platform::kNoSocket) return;
    stop_ = true;
    thread_.Join();
    platform::CloseSocket(listener_);
    listener_ = platform::kNoSocket;
}

void MetricsEndpoint::Run() {
    while (!stop_) {
        if (platform::WaitReadable(listener_, kStopCheckMs) != 1) continue;
        platform::Ipv4Endpoint peer;
        const platform::SocketFd fd = platform::AcceptNow(listener_, &peer);
        if (fd == platform::kNoSocket) continue;
        Serve(fd);
        platform::CloseSocket(fd);
    }
}

void MetricsEndpoint::Serve(platform::SocketFd fd) {
    std::string bytes;
    ntrip::HttpHead head;
    size_t head_bytes = 0;
    const uint32_t start = platform::TickCount();
    for (;;) {
        const ntrip::HeadParse parse = ntrip::ParseHttpHead(bytes, &head, &head_bytes);
        if (parse == ntrip::HeadParse::kDone) break;
        if (parse == ntrip::HeadParse::kBad) {
            const std::string no = Answer("400 Bad Request", "text/plain", "bad request\n");
            platform::SendAll(fd, no.data(), no.size(), kSendLimitMs, kSendLimitMs);
            return;
        }
        const uint32_t spent = platform::TickCount() - start;
        if (stop_ || spent >= kHeadLimitMs) return;
        if (platform::WaitReadable(fd, kHeadLimitMs - spent) != 1) return;
        char buffer[2048];
        const long n = platform::ReceiveNow(fd, buffer, sizeof buffer);
        if (n == platform::kNothingYet) continue;
        if (n <= 0) return;
        bytes.append(buffer, static_cast<size_t>(n));
    }
    std::string answer;
    const std::string path = head.target.substr(0, head.target.find('?'));
    if (head.method != "GET" && head.method != "HEAD")
        answer = Answer("405 Method Not Allowed", "text/plain", "GET only\n");
    else if (path != "/metrics")
        answer = Answer("404 Not Found", "text/plain", "the metrics are at /metrics\n");
    else
        answer = Answer("200 OK", "text/plain; version=0.0.4; charset=utf-8", MetricsText(server_));
    if (head.method == "HEAD") answer.resize(answer.find("\r\n\r\n") + 4);
    platform::SendAll(fd, answer.data(), answer.size(), kSendLimitMs, kSendLimitMs);
}

}  // namespace orvana::admin
