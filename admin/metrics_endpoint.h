#pragma once
// The optional HTTP endpoint that Prometheus scrapes: GET /metrics answers MetricsText, other
// paths 404, other methods 405. One small thread takes one connection at a time; every wait is
// bounded, so a peer that sends nothing costs a scrape a few seconds and never the server.

#include <cstdint>
#include <string>

#include "platform/net.h"
#include "platform/sync.h"

namespace orvana {
class ConfigStore;
class Server;
}  // namespace orvana

namespace orvana::admin {

struct MetricsConfig {
    bool enabled = false;
    std::string address;
    uint16_t port = 0;
};

// The Metrics key of the store.
MetricsConfig ReadMetricsConfig(const ConfigStore& store);

class MetricsEndpoint {
  public:
    explicit MetricsEndpoint(Server& server) : server_(server) {}
    ~MetricsEndpoint() { Stop(); }
    MetricsEndpoint(const MetricsEndpoint&) = delete;
    MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

    // False with `error` set when the address cannot be had.
    bool Start(const MetricsConfig& config, std::string* error);
    void Stop();
    uint16_t port() const { return port_; }

  private:
    void Run();
    void Serve(platform::SocketFd fd);

    Server& server_;
    platform::SocketFd listener_ = platform::kNoSocket;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    platform::Thread thread_;
};

}  // namespace orvana::admin
