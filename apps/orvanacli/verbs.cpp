#include "apps/orvanacli/verbs.h"

#include <array>

#include "apps/orvanacli/shell_session.h"

namespace orvana::cli {
namespace {

using namespace verb_option;

const std::vector<std::string>& Words(Cli& cli) {
    return cli.options.words;
}

// A request whose reply is all there is to print.
int Simple(Cli& cli, const std::string& text, uint8_t handle = 0) {
    auto reply = Ask(cli, text, handle);
    return reply ? PrintReply(*reply) : kExitFailure;
}

std::string WithArgument(const char* request, Cli& cli, size_t from = 0) {
    std::string text = request;
    const std::string rest = JoinWords(Words(cli), from);
    if (!rest.empty()) text += " " + rest;
    return text;
}

int RunPing(Cli& cli) {
    return Simple(cli, WithArgument("Ping", cli));
}
int RunRcvList(Cli& cli) {
    return Simple(cli, "GetRcvList");
}
int RunOpen(Cli& cli) {
    const std::string& name = Words(cli)[0];
    if (cli.shell != nullptr) {
        if (auto held = cli.shell->HandleOf(name)) {
            Report(name + " is open on handle " + std::to_string(*held),
                   "{\"kind\":\"open\",\"receiver\":" + JsonQuoted(name) +
                       ",\"handle\":" + std::to_string(*held) + "}");
            return kExitOk;
        }
    }
    int status = kExitOk;
    UseReceiver(cli, name, cli.options.lock, &status, true);
    return status;
}
// In the shell: the handle `name` was opened on becomes the verb's, or a complaint.
bool HeldInShell(Cli& cli, const std::string& name, int* status) {
    auto held = cli.shell->HandleOf(name);
    if (!held) {
        *status = Complain(name + " is not open in this shell");
        return false;
    }
    cli.handle = *held;
    return true;
}

// In the shell the receiver named, or the only one open; on its own NAME is opened first.
int RunClose(Cli& cli) {
    int status = kExitOk;
    if (cli.shell == nullptr) {
        if (!Words(cli).empty() && !UseReceiver(cli, Words(cli)[0], false, &status)) return status;
        return Simple(cli, "CloseRcv", cli.handle);
    }
    const auto& open = cli.shell->receivers();
    std::string name;
    if (!Words(cli).empty())
        name = Words(cli)[0];
    else if (open.size() == 1)
        name = open.begin()->first;
    else
        return Complain(open.empty() ? "no receiver is open" : "close NAME: several are open");
    if (!HeldInShell(cli, name, &status)) return status;
    status = Simple(cli, "CloseRcv", cli.handle);
    if (status == kExitOk) cli.shell->Closed(cli.handle);
    return status;
}
int RunCommand(Cli& cli) {
    int status = kExitOk;
    if (!UseReceiver(cli, Words(cli)[0], false, &status)) return status;
    return Simple(cli, WithArgument("Command", cli, 1), cli.handle);
}
int RunDetach(Cli& cli) {
    const int group = GroupCode(Words(cli)[1], true);
    if (group < 0)
        return Complain("GROUP is 0..4 or jps, cmr, nmea, rtcm, all: \"" + Words(cli)[1] + "\"");
    int status = kExitOk;
    const bool ready = cli.shell != nullptr ? HeldInShell(cli, Words(cli)[0], &status)
                                            : UseReceiver(cli, Words(cli)[0], false, &status);
    if (!ready) return status;
    status = Simple(cli, "Detach " + std::to_string(group), cli.handle);
    if (cli.shell != nullptr) cli.shell->Detached(cli.handle, group);
    return status;
}

// A script's reply is its output, which need not begin with "RE"; the code says whether it ran.
int RunScript(Cli& cli) {
    auto reply = Ask(cli, WithArgument("Run", cli));
    if (!reply) return kExitFailure;
    PrintReply(*reply);
    return reply->code != 0 ? kExitOk : kExitRefused;
}
int RunGet(Cli& cli) {
    return Simple(cli, WithArgument("Get", cli));
}
int RunSet(Cli& cli) {
    return Simple(cli, WithArgument("Set", cli));
}
// Rows are refused until the header has been asked for, so the header always goes first.
int RunConnectionList(Cli& cli) {
    const int status = Simple(cli, "Get CList");
    if (status != kExitOk || Words(cli).empty()) return status;
    return Simple(cli, "Get CList " + Words(cli)[0]);
}
int RunChat(Cli& cli) {
    return Simple(cli, WithArgument("Chat", cli));
}
int RunRaw(Cli& cli) {
    return Simple(cli, JoinWords(Words(cli), 0),
                  static_cast<uint8_t>(cli.options.handle.value_or(0)));
}

const std::array<Verb, 20> kVerbs = {{
    {"ping", 0, 1, 0, "ping [NAME]", "the server answers (or pings receiver NAME's address)",
     RunPing},
    {"rcvlist", 0, 0, 0, "rcvlist", "the receivers this user may open", RunRcvList},
    {"open", 1, 1, kLock, "open NAME [--lock]",
     "opens receiver NAME (--lock: for this client only)", RunOpen},
    {"close", 0, 1, 0, "close [NAME]", "closes the receiver (opened first when NAME is given)",
     RunClose},
    {"cmd", 2, kAnyCount, 0, "cmd NAME TEXT", "sends a receiver command and prints its reply",
     RunCommand},
    {"attach", 3, 3, kSeconds | kOut, "attach NAME GROUP LIST [--seconds S] [--out PATH|-]",
     "follows data messages (GROUP 0-3 or jps, cmr, nmea, rtcm; LIST \"RT:1,PO\")", RunAttach},
    {"detach", 2, 2, 0, "detach NAME GROUP", "stops a group's messages (4 or all: every group)",
     RunDetach},
    {"download", 2, 2, kOffset | kOut, "download NAME FILE [--offset N] [-o PATH|-]",
     "copies FILE of receiver NAME's log folder to PATH (default: FILE here)", RunDownload},
    {"upload", 1, 1, kAs, "upload PATH [--as FILE]",
     "puts PATH into this user's folder on the server (as FILE)", RunUpload},
    {"firmware", 2, 2, 0, "firmware NAME FILE",
     "loads FILE of this user's folder into receiver NAME (a local FILE is uploaded first)",
     RunFirmware},
    {"cancel", 1, 1, 0, "cancel NAME",
     "cancels this connection's transfer on NAME (a running download or firmware load of "
     "orvanacli is cancelled with Ctrl-C)",
     RunCancel},
    {"run", 1, kAnyCount, 0, "run SCRIPT [ARGS...]",
     "runs a script of the server's scripts folder and prints its output", RunScript},
    {"get", 1, kAnyCount, 0, "get KIND [ARG]",
     "reads an administration record (KIND Usr, Rcv or CList)", RunGet},
    {"set", 2, kAnyCount, 0, "set KIND RECORD", "writes an administration record (super user)",
     RunSet},
    {"clist", 0, 1, 0, "clist [MASK]", "the connection list header, then its rows for MASK",
     RunConnectionList},
    {"chat", 1, kAnyCount, 0, "chat TEXT", "sends TEXT to the station operator's chat window",
     RunChat},
    {"detect", 0, 0, kSeconds, "detect [--seconds S]",
     "searches the ports for receivers and prints the result", RunDetect},
    {"status", 0, 0, kSeconds, "status [--seconds S]",
     "the server's receivers, connections and traffic, refreshed until Ctrl-C (or for S "
     "seconds; 0: once)",
     RunStatus},
    {"shell", 0, 1, 0, "shell [FILE]",
     "one connection for verbs read line by line from FILE, or typed with history", RunShell},
    {"raw", 1, kAnyCount, kHandle, "raw TEXT [--handle H]", "sends TEXT as a request as it is",
     RunRaw},
}};

}  // namespace

const Verb* FindVerb(const std::string& name) {
    for (const Verb& v : kVerbs)
        if (name == v.name) return &v;
    return nullptr;
}

std::string CheckVerbUse(const Verb& verb, const CliOptions& o) {
    const size_t n = o.words.size();
    if (n < verb.min_words || (verb.max_words != kAnyCount && n > verb.max_words))
        return std::string("usage: ") + verb.usage;
    struct Given {
        bool present;
        unsigned bit;
        const char* name;
    };
    const Given given[] = {{o.lock, kLock, "--lock"},
                           {o.seconds.has_value(), kSeconds, "--seconds"},
                           {o.out.has_value(), kOut, "--out"},
                           {o.offset.has_value(), kOffset, "--offset"},
                           {o.handle.has_value(), kHandle, "--handle"},
                           {o.as.has_value(), kAs, "--as"}};
    for (const Given& g : given)
        if (g.present && !(verb.options & g.bit))
            return std::string(g.name) + " does not apply to " + verb.name;
    return {};
}

std::string UsageText() {
    std::string text =
        "usage: orvanacli --host H --port P --user U [--password W] [--encipher] [--timeout S] "
        "[--json] VERB ...\n"
        "  --host H      the server (127.0.0.1)    --encipher   requests go enciphered\n"
        "  --password W  without it: $ORVANA_PASSWORD, else asked for on the terminal, else "
        "empty\n"
        "  --timeout S   seconds to wait for a reply (80)\n"
        "  --json        every line printed is a JSON object (errors too, on standard error)\n"
        "  --            every word after it belongs to the verb\n"
        "  --version     the program's version\n"
        "verbs:\n";
    for (const Verb& v : kVerbs) text += std::string("  ") + v.usage + "\n      " + v.what + "\n";
    text +=
        "Replies are printed as the server sent them. Exit status: 0 the reply began with "
        "\"RE\"\n(run: the script ran), 1 it did not, 2 bad arguments or a failed "
        "connection.\nWith --out - (or -o -) the data goes to standard output and every reply, "
        "notice and\nprogress line to standard error.\nIn the shell, receivers stay open and "
        "messages attached until close or detach; a\nstream attached with --out FILE goes on into "
        "FILE behind the prompt.\n";
    return text;
}

}  // namespace orvana::cli
