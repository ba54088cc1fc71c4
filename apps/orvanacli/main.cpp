// orvanacli: logs in to a server, sends one verb's requests and prints the replies as the
// server sent them. Exit status: 0 when the reply began with "RE", 1 when not, 2 for bad
// arguments or a failed connection.

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "apps/orvanacli/verbs.h"
#include "core/config_keys.h"
#include "platform/signals.h"
#include "platform/terminal.h"

namespace {
constexpr uint32_t kConnectMs = 10000;
constexpr uint32_t kGoodbyeMs = 2000;
}  // namespace

int main(int argc, char** argv) {
    using namespace orvana;
    using namespace orvana::cli;
    // Interrupts are polled, so a stream or transfer can end in order.
    platform::BlockTerminationSignals();
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "help")) {
        std::fputs(UsageText().c_str(), stdout);
        return kExitOk;
    }
    if (args.size() == 1 && args[0] == "--version") {
        std::printf("orvanacli %s\n", cfg::kVersionText);
        return kExitOk;
    }
    std::string error;
    auto options = ParseCommandLine(args, &error);
    if (!options) {
        // A script that asked for JSON gets its complaint as JSON too.
        if (std::find(args.begin(), args.end(), "--json") != args.end()) ReportInJson();
        Complain(error + " (orvanacli --help lists the verbs)");
        return kExitFailure;
    }
    if (options->json) ReportInJson();
    const Verb* verb = FindVerb(options->verb);
    if (!verb) return Complain("unknown verb \"" + options->verb + "\" (orvanacli --help)");
    error = CheckVerbUse(*verb, *options);
    if (!error.empty()) return Complain(error);
    // The data alone on standard output, for the program it is piped into.
    if (options->out && *options->out == "-") ReportOnStderr();

    if (!options->password_given) {
        if (auto secret = platform::EnvironmentValue("ORVANA_PASSWORD"))
            options->password = *secret;
        else if (auto typed = platform::AskSecretOnTerminal("Password for " + options->user + ": "))
            options->password = *typed;
        if (options->password.find(' ') != std::string::npos)
            return Complain("a password cannot hold a blank");
    }
    RequestClient client;
    if (!client.Connect(options->host, options->port, kConnectMs))
        return Complain("cannot connect to " + options->host + ":" + std::to_string(options->port) +
                        ": " + client.error());
    client.SetEncipher(options->encipher);
    Cli cli{*options, client};
    auto login = client.Login(options->user, options->password, "orvanacli", options->timeout_ms);
    if (!login) return ConnectionFailure(cli, "OpenUsr");
    if (!RequestClient::LoginAccepted(*login)) {
        PrintReply(*login);
        return kExitRefused;
    }
    const int status = verb->run(cli);
    if (client.IsOpen()) client.Call("CloseUsr", 0, kGoodbyeMs);
    return status;
}
