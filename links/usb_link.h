#pragma once
// A receiver plugged in by USB ("USB id"). The receivers are found among the USB devices by a
// device path in the form operators know from the receivers' own driver,
// "\\?\usb#vid_VVVV&pid_PPPP#SERIAL#{CLASS}", so any piece of it names a receiver. The link
// uses the first configuration's interface 0 with its bulk IN and bulk OUT endpoints; the
// reader thread feeds the input handler and destruction wakes it at once.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sync.h"
#include "platform/usb.h"
#include "receivers/receiver.h"

namespace orvana {

// The receivers' USB vendor id. It is not known here: this is the one place to change it (the
// README says so). 0x1209 is the shared vendor id of open hardware projects.
inline constexpr uint16_t kReceiverUsbVendor = 0x1209;
// The device interface class in the paths; only ever compared as text.
inline constexpr std::string_view kReceiverUsbClass = "{3f7c2a61-5d0e-4b8a-9c41-0e6d2b7f5a93}";

// The path of a device, lower-case hex ids and the serial as the device gives it.
std::string UsbDevicePath(const platform::UsbDeviceInfo& device);
// Whether a device path is a receiver's: longer than 37 characters, beginning with
// "\\?\usb#vid_" + the receivers' vendor id + "&".
bool IsReceiverUsbPath(std::string_view path);
// The identifier detection configures a receiver under: the 11 characters after the path's
// 26th (its serial), in upper case.
std::string UsbIdentifier(std::string_view path);

struct UsbReceiverDevice {
    std::string path;
    platform::UsbDeviceInfo device;
};
// The receivers present, in the system's order; `seen` counts every USB device looked at.
std::vector<UsbReceiverDevice> EnumerateUsbReceivers(size_t* seen = nullptr);

struct BulkEndpoints {
    uint8_t in = 0;
    uint8_t out = 0;
};
// The bulk endpoints of interface 0 in a configuration descriptor: nothing unless the
// interface has at least two endpoints and the descriptor is exactly the configuration, the
// interface and their 7-byte endpoint descriptors. An endpoint kind that is missing is 0.
std::optional<BulkEndpoints> FindBulkEndpoints(const std::vector<uint8_t>& config);

class UsbLink : public Receiver {
  public:
    static constexpr uint32_t kReadWaitMs = 99999;
    static constexpr uint32_t kWriteWaitMs = 2000;

    // On return either the reader thread runs and error_text is empty, or error_text is
    // "ER:Cannot open device".
    UsbLink(ReceiverContext context, const std::string& address);
    ~UsbLink() override;

    uint32_t Write(const void* data, uint32_t length) override;
    void ClearInput() override {}
    bool SetFlowControl(bool) override { return true; }
    bool SetSpeed(uint32_t) override { return true; }

  private:
    bool OpenDevice();
    void ReaderThread();

    platform::UsbDevice device_;
    BulkEndpoints endpoints_;
    platform::Event started_{platform::Event::Reset::Manual};
    platform::Event wake_{platform::Event::Reset::Manual};
    platform::Thread reader_;
};

}  // namespace orvana
