#include "tests/support/scripted_link.h"

#include <algorithm>
#include <cstring>

namespace orvana::test {

ScriptedLink::ScriptedLink(ReceiverContext context, LinkKind kind, Responder responder)
    : Receiver(std::move(context), kind), responder_(std::move(responder)) {
    thread_ = std::thread([this] { Run(); });
}

ScriptedLink::~ScriptedLink() {
    {
        std::lock_guard<std::mutex> g(mu_);
        quit_ = true;
    }
    cv_.notify_all();
    thread_.join();
}

uint32_t ScriptedLink::Write(const void* data, uint32_t length) {
    std::string line(static_cast<const char*>(data), length);
    {
        std::lock_guard<std::mutex> g(mu_);
        written_.push_back(line);
    }
    if (responder_) {
        std::string answer = responder_(line);
        if (!answer.empty()) Feed(answer);
    }
    return length;
}

void ScriptedLink::Feed(const std::string& bytes) {
    {
        std::lock_guard<std::mutex> g(mu_);
        queue_.push_back(bytes);
    }
    cv_.notify_all();
}

void ScriptedLink::Drain() {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, std::chrono::seconds(5), [this] { return queue_.empty() && !busy_; });
}

std::vector<std::string> ScriptedLink::Written() {
    std::lock_guard<std::mutex> g(mu_);
    return written_;
}

void ScriptedLink::Run() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
        cv_.wait(lock, [this] { return quit_ || !queue_.empty(); });
        if (quit_) return;
        std::string bytes = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        lock.unlock();
        const size_t n = std::min(bytes.size(), input_area.size());
        std::memcpy(input_area.data(), bytes.data(), n);
        HandleInput(n);
        lock.lock();
        busy_ = false;
        cv_.notify_all();
    }
}

ReceiverContext EngineFixture::Context(const std::string& name) {
    ReceiverContext c;
    c.log = &log;
    c.messages = &messages;
    c.receiver_name = name;
    c.deliver = [this](Receiver&, const uint8_t* container, size_t size) {
        std::lock_guard<std::mutex> g(delivered_mu);
        delivered.emplace_back(reinterpret_cast<const char*>(container), size);
    };
    return c;
}

}  // namespace orvana::test
