#pragma once
// A receiver on a serial port ("COM n"). The constructor opens the port (retrying while the
// device reports it is not functioning) and starts the reader thread; destruction wakes the
// reader at once and joins it.

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

    // On return either the reader thread runs and error_text is empty, or error_text says why
    // not and the owner destroys the link.
    ComLink(ReceiverContext context, const std::string& address);
    ~ComLink() override;

    uint32_t Write(const void* data, uint32_t length) override;
    void ClearInput() override;
    bool SetFlowControl(bool on) override;
    bool SetSpeed(uint32_t baud) override;

    int open_attempts() const { return attempts_; }

  protected:
    // Opens the port for a link of `kind` (only a COM port's open is retried) without starting
    // the reader: a derived link sets itself up first.
    ComLink(ReceiverContext context, const std::string& address, LinkKind kind);
    // Starts the reader, which logs `started` and `ended`; false with error_text set.
    bool StartReader(std::string started, std::string ended);
    // Stops and joins the reader. A derived link calls it in its destructor, before its own
    // members go.
    void StopReader();
    // The bytes of one read, in input_area: the receiver's input handler.
    virtual void OnInput(size_t n) { HandleInput(n); }

  private:
    void ReaderThread();
    void ReportLineErrors(std::optional<platform::LineErrorCounts>* last);

    platform::SerialPort port_;
    int attempts_ = 0;
    std::string started_line_, ended_line_;
    platform::Thread reader_;
};

}  // namespace orvana
