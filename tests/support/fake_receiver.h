#pragma once
// A receiver played on the master side of a pseudo-terminal, for tests of the serial link and
// the receiver code. It answers the commands the server sends while opening, listing messages,
// changing the line rate and closing, records every line it gets (with whether its "@xx"
// checksum was right), and answers only while the slave side runs at its own line speed, so a
// speed search can be watched. Containers and arbitrary bytes can be sent on demand.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace orvana::test {

struct ReceivedLine {
    std::string text;     // as it came, without its line end
    std::string command;  // without the "@xx" checksum
    bool had_checksum = false;
    bool checksum_ok = false;
    bool answered = false;  // false when the line speed did not match
};

class FakeReceiver {
  public:
    explicit FakeReceiver(uint32_t speed = 115200);
    ~FakeReceiver();
    FakeReceiver(const FakeReceiver&) = delete;
    FakeReceiver& operator=(const FakeReceiver&) = delete;

    const std::string& slave_path() const { return slave_path_; }
    // Makes DIR/COMn point at the slave.
    void LinkAs(const std::string& ports_folder, unsigned n) const;

    // Overrides the default answer: return the bytes to send ("" for silence), or nullopt for
    // the default. `command` is the line without checksum.
    using Responder = std::function<std::optional<std::string>(const std::string& command)>;
    void SetResponder(Responder r);
    void set_speed(uint32_t baud) { speed_ = baud; }
    uint32_t speed() const { return speed_; }
    // The slave side's current line speed (0 when not a known rate).
    uint32_t SlaveSpeed() const;
    void set_terminal(const std::string& t);

    void Send(const std::string& bytes);

    std::vector<ReceivedLine> Lines();
    // Waits until a line whose command contains `needle` came; bounded.
    std::optional<ReceivedLine> WaitForCommand(const std::string& needle, uint32_t ms = 5000);
    size_t CountCommands(const std::string& needle);
    void ClearLines();

    // "RE" or "ER" with the length field and body.
    static std::string Reply(const std::string& body, const char* id = "RE");

  private:
    void Run();
    void OnLine(std::string text);
    std::string DefaultAnswer(const std::string& command);

    int master_ = -1;
    int slave_ = -1;
    std::string slave_path_;
    std::atomic<uint32_t> speed_;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    Responder responder_;                  // GUARDED_BY(mu_)
    std::vector<ReceivedLine> lines_;      // GUARDED_BY(mu_)
    std::string terminal_ = "/dev/ser/a";  // GUARDED_BY(mu_)
    std::string pending_;                  // reader thread only
    std::thread thread_;
};

}  // namespace orvana::test
