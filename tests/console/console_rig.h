#pragma once
// A running server with a simulated receiver "sim", the console's bridge installed before it
// starts, a logged-in client "ann", and message boxes that answer by themselves and remember
// what they said.

#include <QTest>
#include <memory>
#include <string>
#include <vector>

#include "console/console_context.h"
#include "console/server_bridge.h"
#include "core/config_keys.h"
#include "core/server.h"
#include "tests/tcp_link_harness.h"

namespace orvana::test {

class RecordedPrompts : public console::Prompts {
  public:
    void Tell(QWidget*, console::PromptIcon, const QString& title, const QString& text) override {
        told.push_back(title.toStdString() + "|" + text.toStdString());
    }
    bool Confirm(QWidget*, console::PromptIcon, const QString& title,
                 const QString& text) override {
        asked.push_back(title.toStdString() + "|" + text.toStdString());
        return answer;
    }
    void Beep() override { ++beeps; }

    bool answer = true;  // OK
    std::vector<std::string> told, asked;
    int beeps = 0;
};

class ConsoleRig {
  public:
    // False when the simulator or the server did not come up.
    bool Start(const std::vector<std::string>& sim_options = {}) {
        if (!sim_.Start(sim_options)) return false;
        AddTcpReceiver(store(), "sim", "TCP 127.0.0.1", sim_.port());
        if (local_.Start({}, [this](Server& s) {
                bridge_ = std::make_unique<console::ServerBridge>(s);
            }) == nullptr)
            return false;
        context_ = std::make_unique<console::ConsoleContext>(
            console::ConsoleContext{local_.server(), prompts_});
        return ann_.Connect(local_.server().ListenPort()) &&
               ann_.Ask("OpenUsr ann secret rover") == "RE:OK.";
    }
    ~ConsoleRig() {
        // The bridge goes between the server's stop and its end: the log outlives neither.
        if (bridge_) local_.server().StopServer();
        bridge_.reset();
        local_.Stop();
    }

    ConfigStore& store() { return local_.store(); }
    Server& server() { return local_.server(); }
    LocalServer& local() { return local_; }
    console::ConsoleContext& context() { return *context_; }
    console::ServerBridge& bridge() { return *bridge_; }
    RecordedPrompts& prompts() { return prompts_; }
    TestClient& ann() { return ann_; }
    SimReceiver& sim() { return sim_; }

    // The first frame of `type` that ann receives within the time; nullopt when none came.
    std::optional<Frame> NextOfType(unsigned type, int seconds = 10) {
        for (;;) {
            auto f = ann_.ReadFrame(seconds);
            if (!f || f->type == type) return f;
        }
    }

  private:
    SimReceiver sim_;
    LocalServer local_;
    std::unique_ptr<console::ServerBridge> bridge_;
    RecordedPrompts prompts_;
    std::unique_ptr<console::ConsoleContext> context_;
    TestClient ann_;
};

}  // namespace orvana::test
