#pragma once
// Waits on many sockets at once for room to send or bytes to read (epoll), and can be woken
// from any thread (an eventfd). The client writer's and the NTRIP caster's one blocking call.

#include <cstddef>
#include <cstdint>

#include "platform/net.h"

namespace orvana::platform {

class Poller {
  public:
    Poller();
    ~Poller();
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    // False when the system gave no epoll or eventfd descriptor (LastSocketError says why).
    bool ok() const { return epoll_ >= 0 && wake_ >= 0; }

    // Takes `fd` in under `key`, reporting nothing until armed. False on failure.
    bool Watch(SocketFd fd, uint64_t key);
    // Reports `key` once, as soon as `fd` has room to send (at once when it has room now) or
    // fails. False on failure.
    bool ArmSendRoom(SocketFd fd, uint64_t key);
    // Reports `key` once, as soon as `fd` has bytes to read, has room to send (when
    // `send_room`), is closed by its peer or fails. False on failure.
    bool ArmReadable(SocketFd fd, uint64_t key, bool send_room);
    // Before the descriptor is closed.
    void Forget(SocketFd fd);
    // Ends a Wait under way, or the next one, at once. Any thread.
    void Wake();
    // Waits up to `timeout_ms` for sockets with room or a Wake; stores at most `max` keys.
    // Returns the number stored (0 after a wake or time-out), -1 on an error.
    int Wait(uint32_t timeout_ms, uint64_t* keys, int max);

  private:
    int epoll_ = -1;
    int wake_ = -1;
};

}  // namespace orvana::platform
