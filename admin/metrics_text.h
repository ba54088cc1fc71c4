#pragma once
// The server's figures in the Prometheus text exposition format (version 0.0.4): what a scrape
// of the metrics endpoint returns.

#include <string>

namespace orvana {
class Server;
}

namespace orvana::admin {

std::string MetricsText(Server& server);

// A label value with \, " and line feeds escaped.
std::string LabelValue(const std::string& text);

}  // namespace orvana::admin
