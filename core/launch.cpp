#include "core/launch.h"

#include <cstdio>
#include <cstdlib>
#include <set>
#include <vector>

#include "admin/metrics_endpoint.h"
#include "core/config_keys.h"
#include "links/receiver_detection.h"
#include "ntrip/caster.h"
#include "ntrip/caster_config.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/limits.h"
#include "platform/service_notify.h"
#include "receivers/receiver_table.h"
#include "transfer/transfer_session.h"

namespace orvana {
namespace {

void PrintUsage(std::FILE* to, const char* program) {
    std::fprintf(to,
                 "usage: %s [--headless] [--home DIR] [--store FILE] [--ports DIR]\n"
                 "       [--time-server HOST[:PORT]|off] [--version] [CONFIG]\n",
                 program);
}

// Test hooks: shorter periods in milliseconds, never needed in production.
void ApplyTimingOverrides(ServerOptions& o) {
    auto read = [](const char* name, uint32_t& into) {
        if (const char* v = std::getenv(name))
            into = static_cast<uint32_t>(std::strtoul(v, nullptr, 10));
    };
    read("ORVANA_FIRST_FRAME_MS", o.first_frame_wait_ms);
    read("ORVANA_KEEPALIVE_FIRST_MS", o.keepalive_first_ms);
    read("ORVANA_KEEPALIVE_PERIOD_MS", o.keepalive_period_ms);
    read("ORVANA_SEND_LIMIT_MS", o.send_limit_ms);
    read("ORVANA_SHUTDOWN_PAUSE_MS", o.shutdown_pause_ms);
    read("ORVANA_COMMAND_REPLY_MS", o.command_reply_ms);
    read("ORVANA_BIND_RETRY_MS", o.bind_retry_ms);
    read("ORVANA_TRANSFER_WAIT_MS", o.transfer_wait_ms);
    read("ORVANA_MODEM_DIAL_MS", o.modem_dial_ms);
    if (const char* v = std::getenv("ORVANA_CLOCK_DRY_RUN"); v && *v == '1') {
        // Reports the time it would set instead of setting it, on a clock that the system
        // keeps synchronised only when ORVANA_CLOCK_SYNCHRONISED is 1.
        o.set_clock = [](const platform::LocalTime& t) {
            std::printf("Clock would be set to %s\n", platform::FormatTimestamp(t).c_str());
            std::fflush(stdout);
            return true;
        };
        const char* synced = std::getenv("ORVANA_CLOCK_SYNCHRONISED");
        const bool is_synced = synced != nullptr && *synced == '1';
        o.clock_synchronised = [is_synced] { return is_synced; };
    }
}

}  // namespace

std::optional<int> ParseLaunchArguments(int argc, char** argv, const char* program,
                                        LaunchSettings* out) {
    LaunchSettings s;
    std::string home = platform::ExecutableDirectory();
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool takes_value =
            a == "--home" || a == "--store" || a == "--ports" || a == "--time-server";
        if (takes_value && i + 1 >= argc) {
            std::fprintf(stderr, "%s: %s needs a value\n", program, a.c_str());
            PrintUsage(stderr, program);
            return 2;
        }
        if (a == "--headless") {
            // Accepted by both programs: the service's unit may name it.
        } else if (a == "--home") {
            home = argv[++i];
        } else if (a == "--store") {
            s.store_path = argv[++i];
        } else if (a == "--ports") {
            s.options.ports_folder = argv[++i];
        } else if (a == "--time-server") {
            s.options.time_server = argv[++i];
        } else if (a == "--help" || a == "-h") {
            PrintUsage(stdout, program);
            return 0;
        } else if (a == "--version") {
            std::printf("%s %s\n", program, cfg::kVersionText);
            return 0;
        } else if (a.size() > 1 && a[0] == '-') {
            // A mistyped option must not become the configuration's name.
            std::fprintf(stderr, "%s: unknown option %s\n", program, a.c_str());
            PrintUsage(stderr, program);
            return 2;
        } else {
            if (!s.command_line.empty()) s.command_line += ' ';
            s.command_line += a;
        }
    }
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    if (s.store_path.empty()) s.store_path = home + "/orvanasrv.db";
    if (s.options.ports_folder.empty()) s.options.ports_folder = home + "/ports";
    s.options.home = home;
    ApplyTimingOverrides(s.options);
    *out = std::move(s);
    return std::nullopt;
}

std::unique_ptr<LaunchedServer> LaunchedServer::Open(LaunchSettings settings, std::string* error) {
    platform::RaiseOpenFileLimit();  // rovers of the caster, clients, receivers
    std::unique_ptr<LaunchedServer> l(new LaunchedServer());
    l->hive_ = platform::Hive::Open(settings.store_path, error);
    if (!l->hive_) return nullptr;
    l->store_ = std::make_unique<ConfigStore>(*l->hive_);
    l->settings_ = std::move(settings);
    l->server_ = std::make_unique<Server>(*l->store_, l->settings_.options);
    InstallReceivers(*l->server_);
    InstallTransfers(*l->server_);
    InstallDetection(*l->server_);
    LaunchedServer* self = l.get();
    l->server_->hooks().at_stop_begin.push_back([self] {
        platform::NotifyStopping();
        if (self->caster_) self->caster_->Stop();
        if (self->metrics_) self->metrics_->Stop();
    });
    return l;
}

LaunchedServer::~LaunchedServer() {
    // The server goes before the store it writes to; its stop ends the caster and the metrics.
    server_.reset();
}

bool LaunchedServer::Start(std::string* error) {
    if (!server_->StartServer(settings_.command_line)) {
        *error = server_->listen_failure();
        return false;
    }
    StartCaster();
    StartMetrics();
    platform::NotifyReady("Listening on " + server_->listen_address() + ":" +
                          std::to_string(server_->ListenPort()));
    return true;
}

void LaunchedServer::Reload() {
    Server& server = *server_;
    server.log().Renew();
    std::set<std::string> enabled;
    std::string folder = cfg::kReceiversKey;
    folder.pop_back();
    for (const std::string& name : store_->SubKeys(folder))
        if (store_->ReadFlag(cfg::kReceiversKey + name, cfg::kEnableRcv)) enabled.insert(name);
    std::vector<std::string> running;
    {
        std::lock_guard<platform::RecursiveLock> guard(server.receiver_table_lock());
        for (const std::string& name : server.receiver_names())
            if (!name.empty()) running.push_back(name);
    }
    std::string added, removed;
    for (const std::string& name : running)
        if (enabled.count(name) == 0 && RegisterReceiver(server, false, name, false))
            removed += " -" + name;
    for (const std::string& name : enabled)
        if (RegisterReceiver(server, true, name, false)) added += " +" + name;
    server.log().WriteLine(
        "Reload: receivers" +
        (added + removed).append(added.empty() && removed.empty() ? " unchanged" : ""));
}

namespace {

// A part the server can do without: when it cannot start, the event log and standard error say
// why and the server serves its own clients without it. Otherwise its port is announced.
template <typename Part, typename Start>
void StartOptionalPart(Server& server, std::unique_ptr<Part>& part, Start start,
                       const char* announce) {
    std::string error;
    if (!start(&error)) {
        server.log().WriteLine("ER:" + error);
        std::fprintf(stderr, "%s\n", error.c_str());
        part.reset();
        return;
    }
    std::printf("%s on port %u\n", announce, static_cast<unsigned>(part->port()));
    std::fflush(stdout);
}

}  // namespace

void LaunchedServer::StartMetrics() {
    const admin::MetricsConfig config = admin::ReadMetricsConfig(*store_);
    if (!config.enabled) return;
    metrics_ = std::make_unique<admin::MetricsEndpoint>(*server_);
    StartOptionalPart(
        *server_, metrics_, [&](std::string* error) { return metrics_->Start(config, error); },
        "Metrics");
}

void LaunchedServer::StartCaster() {
    ntrip::CasterConfig config = ntrip::ReadCasterConfig(*store_);
    if (!config.enabled) return;
    caster_ = std::make_unique<ntrip::Caster>(*server_, std::move(config));
    StartOptionalPart(
        *server_, caster_, [&](std::string* error) { return caster_->Start(error); },
        "NTRIP caster");
}

}  // namespace orvana
