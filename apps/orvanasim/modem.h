#pragma once
// A Hayes modem in front of the simulated receiver on a pseudo-terminal: command mode until a
// dial connects, the receiver while connected, and back to command mode on "+++" after a
// second of silence.

#include <string>

#include "apps/orvanasim/session.h"

namespace orvana::sim {

enum class ModemAnswer { kConnect, kNoCarrier, kSilent };

// Answers AT commands with OK and a dial as `answer` says, until a dial connects (true) or a
// stop is asked for (false). Every command line received goes to the transcript as
// "modem< " + its escaped bytes.
bool RunModemCommands(Peer& line, ModemAnswer answer, Transcript* transcript);

// The connected line: bytes pass both ways until the host sends "+++" alone after a second of
// silence, which reads as the host gone (escaped() tells it apart).
class ModemDataPeer : public Peer {
  public:
    ModemDataPeer(Peer& line, Transcript* transcript) : line_(line), transcript_(transcript) {}
    bool Write(std::string_view bytes) override { return line_.Write(bytes); }
    // The modems decouple the two line speeds.
    bool SetOwnSpeed(uint32_t) override { return true; }
    bool PeerAtOwnSpeed() const override { return true; }
    void Drain() override { line_.Drain(); }
    int WaitReadable(uint32_t timeout_ms) override;
    long Read(char* buffer, size_t length) override;
    bool escaped() const { return escaped_; }
    void Reset();

  private:
    Peer& line_;
    Transcript* transcript_;
    uint32_t last_input_ = 0;
    bool escaped_ = false;
};

}  // namespace orvana::sim
