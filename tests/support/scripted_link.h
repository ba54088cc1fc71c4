#pragma once
// A receiver link without a transport, for the command engine's tests: every line written is
// recorded and handed to a responder, whose answer bytes reach the stream parser from a thread
// of the link's own, as a reader thread would deliver them.

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/event_log.h"
#include "receivers/message_table.h"
#include "receivers/receiver.h"
#include "tests/support/test_env.h"

namespace orvana::test {

class ScriptedLink : public Receiver {
  public:
    // Bytes to answer a line with ("" for silence).
    using Responder = std::function<std::string(const std::string& line)>;

    ScriptedLink(ReceiverContext context, LinkKind kind, Responder responder);
    ~ScriptedLink() override;

    uint32_t Write(const void* data, uint32_t length) override;
    bool SetFlowControl(bool) override { return true; }
    bool SetSpeed(uint32_t) override { return true; }

    // Feeds bytes to the parser as one read (at most 4096) on the reader thread, in order.
    void Feed(const std::string& bytes);
    // Waits until everything fed so far has been parsed.
    void Drain();
    std::vector<std::string> Written();

  private:
    void Run();

    Responder responder_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<std::string> queue_;
    bool busy_ = false;
    bool quit_ = false;
    std::vector<std::string> written_;
    std::thread thread_;
};

// An event log and message table in a temporary folder, with a context for receivers.
struct EngineFixture {
    TempDir dir;
    EventLog log{dir.File("engine")};
    MessageTable messages;
    std::vector<std::string> delivered;  // containers, in order
    std::mutex delivered_mu;

    EngineFixture() { log.Open(); }
    ReceiverContext Context(const std::string& name = "Base1");
    std::string LogText() { return ReadFile(log.FileName()); }
};

}  // namespace orvana::test
