#pragma once
// A receiver on a serial port ("COM n"). The constructor opens the port (retrying while the
// device reports it is not functioning) and starts the reader thread; destruction wakes the
// reader at once and joins it.

#include <functional>
#include <memory>
#include <string>

#include "platform/serial_port.h"
#include "platform/sync.h"
#include "receivers/receiver.h"

namespace orvana {

// The text of the first line error that the counts show since `before`, in the order a
// receiver operator knows them; nullptr when there was none.
const char* LineErrorText(const platform::LineErrorCounts& before,
                          const platform::LineErrorCounts& now);

class ComLink : public Receiver {
  public:
    static constexpr int kOpenAttempts = 10;
    static constexpr uint32_t kRetryPauseMs = 500;

    // Opens the port behind a path (tests bend it to count and fail attempts).
    using PortOpener = std::function<int(platform::SerialPort&, const std::string& path)>;

    // On return either the reader thread runs and error_text is empty, or error_text says why
    // not and the owner destroys the link.
    ComLink(ReceiverContext context, const std::string& address, PortOpener opener = {});
    ~ComLink() override;

    uint32_t Write(const void* data, uint32_t length) override;
    void ClearInput() override;
    bool SetFlowControl(bool on) override;
    bool SetSpeed(uint32_t baud) override;

    int open_attempts() const { return attempts_; }

  private:
    void ReaderThread();
    void ReportLineErrors(std::optional<platform::LineErrorCounts>* last);

    platform::SerialPort port_;
    int attempts_ = 0;
    platform::Thread reader_;
};

}  // namespace orvana
