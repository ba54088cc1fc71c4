// The shell verb: one login, verbs read line by line, so receivers stay open and messages
// attached from one line to the next. Between lines the connection is looked after: pings
// answered by the client, notices printed, recorded streams written.

#include <functional>
#include <optional>
#include <string>

#include "apps/orvanacli/line_editor.h"
#include "apps/orvanacli/shell_session.h"
#include "apps/orvanacli/verbs.h"
#include "platform/line_input.h"
#include "platform/signals.h"

namespace orvana::cli {
namespace {

constexpr uint32_t kIdlePollMs = 200;
constexpr size_t kMaxFileLine = 65536;  // a longer line from a file is cut there

// The shell's lines: typed with the line editor on a terminal, else as they come.
class ShellLines {
  public:
    explicit ShellLines(platform::LineInput& input) : input_(input), editor_("orvanacli> ") {}

    // The next line, nullopt at the end of the input or when `idle` (run while nothing comes)
    // says to stop.
    std::optional<std::string> Next(const std::function<bool()>& idle) {
        if (input_.interactive()) return Typed(idle);
        for (;;) {
            const size_t end = pending_.find('\n');
            if (end != std::string::npos || pending_.size() >= kMaxFileLine) {
                std::string line = pending_.substr(0, std::min(end, kMaxFileLine));
                pending_.erase(0, end == std::string::npos ? kMaxFileLine : end + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                return line;
            }
            if (!idle()) return std::nullopt;
            if (input_.Read(kIdlePollMs, &pending_) == platform::LineInput::Result::kEnd) {
                if (pending_.empty()) return std::nullopt;
                std::string line;
                line.swap(pending_);
                return line;
            }
        }
    }

    // Text printed while a line is being typed goes above it.
    void BeforePrint() {
        if (editing_) Show(editor_.Hide());
    }
    void AfterPrint() {
        if (editing_) Show(editor_.Redraw());
    }

  private:
    std::optional<std::string> Typed(const std::function<bool()>& idle) {
        input_.SetRaw(true);
        editing_ = true;
        editor_.Begin();
        Show(editor_.TakeOutput());
        std::optional<std::string> line;
        for (bool done = false; !done;) {
            while (!pending_.empty() && !done) {
                const char byte = pending_.front();
                pending_.erase(0, 1);
                const LineEditor::Event e = editor_.Feed(byte);
                Show(editor_.TakeOutput());
                if (e == LineEditor::Event::kLine) {
                    line = editor_.line();
                    done = true;
                } else if (e == LineEditor::Event::kEnd) {
                    done = true;
                } else if (e == LineEditor::Event::kCancel) {
                    editor_.Begin();
                    Show(editor_.TakeOutput());
                }
            }
            if (done) break;
            if (!idle()) break;
            if (input_.Read(kIdlePollMs, &pending_) == platform::LineInput::Result::kEnd) break;
        }
        editing_ = false;
        input_.SetRaw(false);
        return line;
    }

    static void Show(const std::string& text) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }

    platform::LineInput& input_;
    LineEditor editor_;
    std::string pending_;
    bool editing_ = false;
};

// Looks after the connection while the shell waits for a line. False: the shell must end.
bool LookAfter(Cli& cli, ShellSession& shell, ShellLines& lines) {
    if (platform::PollTerminationSignal(0) != 0) shell.Terminate();
    for (;;) {
        bool closed = false;
        auto f = NextEvent(cli, 1, &closed);
        if (closed) {
            lines.BeforePrint();
            ConnectionFailure(cli, "shell");
            shell.Terminate();
            break;
        }
        if (!f) break;
        if (f->IsData() || f->IsReply()) continue;  // a stream nobody records, a late reply
        lines.BeforePrint();
        PrintEvent(*f);
        lines.AfterPrint();
        if (f->type == frame_type::kConnectionLost || f->type == frame_type::kTerminated) {
            shell.Terminate();
            break;
        }
    }
    return !shell.terminating();
}

}  // namespace

int RunShell(Cli& cli) {
    std::string error;
    const std::string path = cli.options.words.empty() ? "" : cli.options.words[0];
    auto input = platform::LineInput::Open(path, &error);
    if (!input) return Complain(error);
    ShellSession shell(cli.client.handle_count(), input->interactive());
    ShellLines lines(*input);
    Cli idle{cli.options, cli.client, &shell};
    int status = kExitOk;
    for (;;) {
        auto line = lines.Next([&] { return LookAfter(idle, shell, lines); });
        if (!line || shell.terminating()) break;
        auto options = ParseShellLine(*line, cli.options, &error);
        if (!options) {
            if (!error.empty()) status = Complain(error);
            continue;
        }
        if (options->verb == "exit" || options->verb == "quit") break;
        if (options->verb == "help") {
            std::fputs(UsageText().c_str(), Reports());
            continue;
        }
        const Verb* verb = FindVerb(options->verb);
        if (verb == nullptr || verb->run == RunShell) {
            status = Complain("unknown verb \"" + options->verb + "\" (help lists them)");
            continue;
        }
        error = CheckVerbUse(*verb, *options);
        if (!error.empty()) {
            status = Complain(error);
            continue;
        }
        Cli line_cli{*options, cli.client, &shell};
        status = verb->run(line_cli);
        if (!cli.client.IsOpen()) return kExitFailure;
        // A Ctrl-C typed while a verb was not looking was meant for that verb.
        if (shell.interactive()) Interrupted(line_cli);
        if (shell.terminating()) break;
    }
    return status;
}

}  // namespace orvana::cli
