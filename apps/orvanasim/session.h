#pragma once
// One host connection driven to its end: input is read with short waits so that containers go
// out on time and a termination signal is seen within a fraction of a second.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "apps/orvanasim/receiver.h"

namespace orvana::sim {

class Peer : public Link {
  public:
    // 1 readable, 0 time-out, -1 gone.
    virtual int WaitReadable(uint32_t timeout_ms) = 0;
    // >0 bytes, 0 nothing yet, -1 gone.
    virtual long Read(char* buffer, size_t length) = 0;
};

enum class SessionEnd { HostLeft, Broken, Stopped };

SessionEnd RunSession(SimReceiver& receiver, Peer& peer, std::string_view first_bytes);

}  // namespace orvana::sim
