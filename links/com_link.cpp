#include "links/com_link.h"

#include <cerrno>

#include "core/event_log.h"
#include "platform/clock.h"

namespace orvana {
namespace {

constexpr uint32_t kWriteLimitMs = 1000;
// Destruction wakes the reader through the port's wake descriptor; the limit only bounds a
// wait whose wake-up was lost.
constexpr uint32_t kReaderPollMs = 30000;

}  // namespace

const char* LineErrorText(const platform::LineErrorCounts& before,
                          const platform::LineErrorCounts& now) {
    if (now.breaks != before.breaks) return "Break detected";
    if (now.framing != before.framing) return "Framing error";
    if (now.overrun != before.overrun) return "Serial overrun";
    if (now.buffer_overrun != before.buffer_overrun) return "Input buffer overflow";
    if (now.parity != before.parity) return "Parity error";
    return nullptr;
}

ComLink::ComLink(ReceiverContext context, const std::string& addr)
    : ComLink(std::move(context), addr, LinkKind::kCom) {
    if (error_text.empty())
        StartReader("Dev/COM " + address + " thread started.",
                    "Dev/COM " + address + " thread terminated.\r\n");
}

ComLink::ComLink(ReceiverContext context, const std::string& addr, LinkKind kind)
    : Receiver(std::move(context), kind) {
    address = addr;
    if (addr.empty() || addr.find_first_not_of("0123456789") != std::string::npos) {
        error_text = "COM " + addr + ": not a port number";
        return;
    }
    const std::string path = platform::ComDevicePath(this->context().ports_folder, addr);
    if (path.empty()) {
        error_text = "COM " + platform::SystemErrorText(ENOENT) + " (no link COM" + addr + " in " +
                     this->context().ports_folder + ": orvanacfg port COM" + addr +
                     " DEVICE makes one)";
        return;
    }
    int error = 0;
    for (;;) {
        error = port_.Open(path);
        ++attempts_;
        if (error == 0) break;
        if (kind != LinkKind::kCom || error != platform::kDeviceNotFunctioning ||
            attempts_ >= kOpenAttempts) {
            error_text = "COM " + platform::SystemErrorText(error);
            return;
        }
        platform::SleepMs(kRetryPauseMs);
    }
    ClearInput();
}

bool ComLink::StartReader(std::string started, std::string ended) {
    started_line_ = std::move(started);
    ended_line_ = std::move(ended);
    std::string why;
    if (reader_.Start([this] { ReaderThread(); }, &why)) return true;
    error_text = "COM " + address + ": cannot start the reader thread (" + why + ")";
    port_.Close();
    return false;
}

void ComLink::StopReader() {
    stop = 1;
    port_.Wake();
    reader_.Join();
}

ComLink::~ComLink() {
    StopReader();
    port_.Close();
}

void ComLink::ReaderThread() {
    log().WriteLine(started_line_);
    std::optional<platform::LineErrorCounts> counts = port_.ErrorCounts();
    while (stop == 0) {
        const platform::SerialPort::Wait w = port_.WaitReadable(kReaderPollMs);
        if (stop != 0) break;
        ReportLineErrors(&counts);
        long n = 0;
        if (w == platform::SerialPort::Wait::Readable)
            n = port_.Read(input_area.data(), input_area.size());
        if (w == platform::SerialPort::Wait::Hangup || w == platform::SerialPort::Wait::Error ||
            n < 0) {
            // The device went away: the receiver is given up, and the next command that finds
            // the stop flag releases its clients.
            log().WriteLine((kind == LinkKind::kModem ? "Dev/MODEM " : "Dev/COM ") + address +
                            " line lost");
            RequestStop();
            break;
        }
        if (n > 0) OnInput(static_cast<size_t>(n));
    }
    log().WriteLine(ended_line_);
}

// Line errors do not stop the link: they are logged and reading goes on.
void ComLink::ReportLineErrors(std::optional<platform::LineErrorCounts>* last) {
    if (!*last) return;
    const std::optional<platform::LineErrorCounts> now = port_.ErrorCounts();
    if (!now) return;
    if (const char* text = LineErrorText(**last, *now)) log().WriteRaw(interface_name + text);
    *last = now;
}

uint32_t ComLink::Write(const void* data, uint32_t length) {
    if (!port_.IsOpen()) return 0;
    return static_cast<uint32_t>(port_.Write(data, length, kWriteLimitMs));
}

void ComLink::ClearInput() {
    std::lock_guard<std::recursive_mutex> g(reply.lock());
    reply.Clear();
    assembly_count = 0;
    Receiver::ClearInput();
    port_.Purge();
}

bool ComLink::SetFlowControl(bool on) {
    const bool ok = port_.SetFlowControl(on);
    platform::SleepMs(100);
    return ok;
}

bool ComLink::SetSpeed(uint32_t baud) {
    if (!port_.IsOpen()) return false;
    if (!port_.SetSpeed(baud)) return false;
    platform::SleepMs(200);
    return true;
}

}  // namespace orvana
