#include "tests/support/fake_receiver.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "platform/clock.h"
#include "receivers/command_engine.h"
#include "tests/support/test_env.h"

namespace orvana::test {
namespace {

uint32_t BaudOf(speed_t code) {
    switch (code) {
        case B9600:
            return 9600;
        case B19200:
            return 19200;
        case B38400:
            return 38400;
        case B57600:
            return 57600;
        case B115200:
            return 115200;
        case B230400:
            return 230400;
        case B460800:
            return 460800;
        case B921600:
            return 921600;
        default:
            return 0;
    }
}

}  // namespace

FakeReceiver::FakeReceiver(uint32_t speed) : speed_(speed) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
        throw std::runtime_error("no pseudo-terminal");
    slave_path_ = ::ptsname(master_);
    // Held open so the master never sees a hang-up between the server's opens.
    slave_ = ::open(slave_path_.c_str(), O_RDWR | O_NOCTTY);
    if (slave_ < 0) throw std::runtime_error("cannot open " + slave_path_);
    termios tio{};
    ::tcgetattr(slave_, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave_, TCSANOW, &tio);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    thread_ = std::thread([this] { Run(); });
}

FakeReceiver::~FakeReceiver() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    ::close(slave_);
    ::close(master_);
}

void FakeReceiver::LinkAs(const std::string& ports_folder, unsigned n) const {
    std::filesystem::create_directories(ports_folder);
    const std::string link = ports_folder + "/COM" + std::to_string(n);
    std::filesystem::remove(link);
    std::filesystem::create_symlink(slave_path_, link);
}

void FakeReceiver::SetResponder(Responder r) {
    std::lock_guard<std::mutex> g(mu_);
    responder_ = std::move(r);
}

void FakeReceiver::set_terminal(const std::string& t) {
    std::lock_guard<std::mutex> g(mu_);
    terminal_ = t;
}

uint32_t FakeReceiver::SlaveSpeed() const {
    termios tio{};
    if (::tcgetattr(slave_, &tio) != 0) return 0;
    return BaudOf(::cfgetospeed(&tio));
}

void FakeReceiver::Send(const std::string& bytes) {
    size_t done = 0;
    const uint32_t start = platform::TickCount();
    while (done < bytes.size() && platform::TickCount() - start < 5000) {
        const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else {
            pollfd p{master_, POLLOUT, 0};
            ::poll(&p, 1, 50);
        }
    }
}

std::vector<ReceivedLine> FakeReceiver::Lines() {
    std::lock_guard<std::mutex> g(mu_);
    return lines_;
}

void FakeReceiver::ClearLines() {
    std::lock_guard<std::mutex> g(mu_);
    lines_.clear();
}

std::optional<ReceivedLine> FakeReceiver::WaitForCommand(const std::string& needle, uint32_t ms) {
    std::optional<ReceivedLine> found;
    WaitUntil(
        [&] {
            std::lock_guard<std::mutex> g(mu_);
            for (const ReceivedLine& l : lines_)
                if (l.command.find(needle) != std::string::npos) return (found = l).has_value();
            return false;
        },
        ms);
    return found;
}

size_t FakeReceiver::CountCommands(const std::string& needle) {
    std::lock_guard<std::mutex> g(mu_);
    size_t n = 0;
    for (const ReceivedLine& l : lines_)
        if (l.command.find(needle) != std::string::npos) ++n;
    return n;
}

std::string FakeReceiver::Reply(const std::string& body, const char* id) {
    char head[8];
    std::snprintf(head, sizeof head, "%s%03X", id, static_cast<unsigned>(body.size()));
    return head + body;
}

void FakeReceiver::Run() {
    char buf[4096];
    while (!stop_) {
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n <= 0) continue;
        pending_.append(buf, static_cast<size_t>(n));
        for (size_t lf; (lf = pending_.find('\n')) != std::string::npos;) {
            std::string line = pending_.substr(0, lf);
            pending_.erase(0, lf + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            OnLine(std::move(line));
        }
    }
}

void FakeReceiver::OnLine(std::string text) {
    ReceivedLine l;
    l.text = text;
    l.command = text;
    const size_t at = text.rfind('@');
    if (at != std::string::npos && at + 3 == text.size()) {
        l.had_checksum = true;
        l.command = text.substr(0, at);
        const unsigned stated =
            static_cast<unsigned>(std::strtoul(text.c_str() + at + 1, nullptr, 16));
        l.checksum_ok = ReceiverChecksum(text.data(), at + 1) == stated;
    }
    l.answered = SlaveSpeed() == speed_;
    Responder responder;
    {
        std::lock_guard<std::mutex> g(mu_);
        lines_.push_back(l);
        responder = responder_;
    }
    if (!l.answered) return;
    std::optional<std::string> answer;
    if (responder) answer = responder(l.command);
    if (!answer) answer = DefaultAnswer(l.command);
    if (!answer->empty()) Send(*answer);
}

std::string FakeReceiver::DefaultAnswer(const std::string& command) {
    std::string tag, body = command;
    if (!body.empty() && body.front() == '%') {
        const size_t second = body.find('%', 1);
        if (second != std::string::npos) {
            tag = body.substr(0, second + 1);
            body = body.substr(second + 1);
        }
    }
    auto reply = [&](const std::string& text) { return Reply(tag + text); };
    if (body.empty()) return tag.empty() ? std::string() : reply("");
    if (body.find("||") != std::string::npos || body.front() == '#') return {};
    if (body == "dm") return tag.empty() ? std::string() : reply("");
    if (body == "print,/cur/term") {
        std::lock_guard<std::mutex> g(mu_);
        return reply(terminal_);
    }
    if (body == "print,cur/term/rate") return reply(std::to_string(speed_.load()));
    if (body.rfind("set,cur/term/rate,", 0) == 0) {
        const std::string answer = reply("");
        Send(answer.size() > 5 ? answer : Reply("OK"));
        speed_ = static_cast<uint32_t>(std::strtoul(body.c_str() + 18, nullptr, 10));
        return {};
    }
    if (body == "list,/msg/jps") return reply("{RT,PO,ET}");
    if (body == "list,/msg/cmr") return reply("{CM}");
    if (body == "list,/msg/nmea") return reply("{GGA,RMC}");
    if (body == "list,/msg/rtcm") return reply("{R1}");
    if (body == "print,/par/rcv/model") return reply("FAKE-1");
    return reply(tag.empty() ? "OK" : "");
}

}  // namespace orvana::test
