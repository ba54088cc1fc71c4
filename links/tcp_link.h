#pragma once
// A receiver with its own network port ("TCP host"). The constructor connects to the
// interface's "Port", runs the login exchange when "CheckLogin" is on (or drops the greeting
// when it is off) and starts the reader thread; destruction breaks the connection, which ends
// the reader's pending receive at once, and joins it.
//
// Only the reader thread receives from the socket; Write runs on the callers' threads and the
// socket's send lock keeps one Write's bytes together.

#include <cstdint>
#include <string>
#include <string_view>

#include "core/blocking_socket.h"
#include "platform/sync.h"
#include "receivers/receiver.h"

namespace orvana {

// Host and port of a TCP interface address: the host ends at the first ":" (what follows is
// not the port, which is the interface's "Port" value).
std::string TcpHost(std::string_view address);

class TcpLink : public Receiver {
  public:
    static constexpr uint32_t kReadWaitSeconds = 9999;
    static constexpr uint32_t kLoginWaitSeconds = 75;
    static constexpr uint32_t kGreetingWaitSeconds = 3;

    // On return either the reader thread runs and error_text is empty, or error_text says why
    // not (already logged) and no thread runs.
    // `address` is the interface text after its kind word.
    TcpLink(ReceiverContext context, const std::string& address);
    ~TcpLink() override;

    uint32_t Write(const void* data, uint32_t length) override;
    void ClearInput() override;
    bool SetFlowControl(bool) override { return true; }
    bool SetSpeed(uint32_t) override { return true; }

    // Receiver name + "(" + interface text + ")": names the link in its log lines and errors.
    const std::string& label() const { return label_; }

  private:
    // False with error_text set when the receiver's answer to the password has no "RE".
    bool Login(const std::string& password);
    void ReaderThread();
    // The link is given up: the stop flag (the owner then releases the clients), and the
    // connection broken. True for the caller that set the flag, which alone reports why.
    bool GiveUp();
    // The socket error line for the label.
    void Report(int error);

    std::string label_;
    CBlockingSocket socket_;
    // Set by the reader once it runs; a member, so a reader slower than the constructor's wait
    // never touches a dead object.
    platform::Event started_{platform::Event::Reset::Auto};
    platform::Thread reader_;
};

}  // namespace orvana
