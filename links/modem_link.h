#pragma once
// A distant receiver behind a dial-up modem on a serial port ("MODEM n"). The constructor sets
// the port up, dials the interface's number with Hayes commands and waits for CONNECT; from then
// on it is a serial link. Destruction returns the modem to command mode ("+++" between guard
// times) and hangs up ("ath").
//
// While the link talks to the modem, what the reader receives goes to the modem's reply line
// instead of the receiver.

#include <atomic>
#include <mutex>
#include <string>

#include "links/com_link.h"
#include "links/modem_reply.h"
#include "platform/sync.h"

namespace orvana {

class ModemLink : public ComLink {
  public:
    static constexpr uint32_t kGuardMs = 2000;  // silence around "+++", and after CONNECT
    static constexpr size_t kMaxCommand = 39;   // longer commands are not sent

    // On return either the line is connected, the reader runs and error_text is empty, or
    // error_text says why not ("ER:no CONNECT on dial" for every dial failure).
    ModemLink(ReceiverContext context, const std::string& address);
    ~ModemLink() override;

    // Sends a command to the modem (a carriage return added unless it starts with "+"); true
    // when an answer line came within `timeout_ms`.
    bool ModemCommand(uint32_t timeout_ms, std::string command);
    // The last answer line, from its third byte (behind a verbose modem's "\r\n").
    std::string ReplyLine() const;

  private:
    void OnInput(size_t n) override;
    bool Dial(bool gsm, const std::string& phone);

    std::atomic<bool> talking_{false};  // the command event "exists"
    platform::Event command_event_{platform::Event::Reset::Auto};
    mutable std::mutex line_lock_;
    ModemReplyLine line_;  // GUARDED_BY(line_lock_)
    bool reader_started_ = false;
};

}  // namespace orvana
