#include <cstdio>
#include <string>

#include "apps/orvanasim/modem.h"
#include "apps/orvanasim/serve.h"
#include "apps/orvanasim/session.h"
#include "platform/clock.h"
#include "platform/pty.h"

namespace orvana::sim {
namespace {

// Both ends of a pty share one termios record, so the receiver's own line speed cannot live in
// the master's: it is remembered here and compared with the slave's record as the host set it.
class PtyPeer : public Peer {
  public:
    PtyPeer(platform::PseudoTerminal& pty, uint32_t speed) : pty_(pty), speed_(speed) {}

    bool Write(std::string_view bytes) override {
        // A terminal nobody reads fills up; what does not fit is lost, as on a real line.
        long n = pty_.Write(bytes.data(), bytes.size(), 1000);
        return n >= 0;
    }
    bool SetOwnSpeed(uint32_t baud) override {
        if (!platform::IsSupportedBaud(baud)) return false;
        speed_ = baud;
        return true;
    }
    bool PeerAtOwnSpeed() const override { return pty_.PeerSpeed() == speed_; }
    void Drain() override { pty_.Drain(); }
    int WaitReadable(uint32_t timeout_ms) override {
        // The slave end stays open here, so the master never hangs up; an error is a pause.
        int r = pty_.WaitReadable(timeout_ms);
        if (r < 0) platform::SleepMs(timeout_ms < 50 ? timeout_ms : 50);
        return r < 0 ? 0 : r;
    }
    long Read(char* buffer, size_t length) override {
        long n = pty_.Read(buffer, length);
        return n < 0 ? 0 : n;
    }

  private:
    platform::PseudoTerminal& pty_;
    uint32_t speed_;
};

}  // namespace

int ServePty(const Options& options, Transcript* transcript) {
    if (!platform::IsSupportedBaud(options.speed)) {
        Note("unsupported --speed " + std::to_string(options.speed));
        return 2;
    }
    platform::PseudoTerminal pty;
    std::string error;
    if (!pty.Create(options.speed, &error)) {
        Note(error);
        return 1;
    }
    std::string link;
    if (!options.ports_dir.empty()) {
        link = options.ports_dir + "/COM" + std::to_string(options.com);
        if (!platform::MakeSymlink(pty.SlavePath(), link, &error)) {
            Note(error);
            return 1;
        }
    }
    std::printf("Terminal %s\n", pty.SlavePath().c_str());
    std::fflush(stdout);
    PtyPeer peer(pty, options.speed);
    const std::string term = options.term.empty() ? "/dev/ser/a" : options.term;
    const bool modem = !options.modem.empty();
    const ModemAnswer answer = options.modem == "nocarrier" ? ModemAnswer::kNoCarrier
                               : options.modem == "silent"  ? ModemAnswer::kSilent
                                                            : ModemAnswer::kConnect;
    ModemDataPeer connected(peer, transcript);
    while (!StopRequested()) {
        peer.SetOwnSpeed(options.speed);
        if (modem) {
            if (!RunModemCommands(peer, answer, transcript)) break;
            connected.Reset();
        }
        Peer& line = modem ? static_cast<Peer&>(connected) : peer;
        SimReceiver receiver(options, line, term, transcript);
        if (RunSession(receiver, line, {}) == SessionEnd::Stopped) break;
        if (modem && connected.escaped()) continue;
        // A disconnect fault on a terminal: go quiet for a moment, then start afresh.
        platform::SleepMs(500);
    }
    if (!link.empty()) platform::RemoveSymlink(pty.SlavePath(), link);
    Note("stopped");
    return 0;
}

}  // namespace orvana::sim
