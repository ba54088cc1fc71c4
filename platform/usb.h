#pragma once
// USB devices through libusb-1.0: the devices present, and one device opened for bulk
// transfers. Each open device has a libusb context of its own, so one receiver's event handling
// never waits on another's.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct libusb_context;
struct libusb_device_handle;
struct libusb_transfer;

namespace orvana::platform {

struct UsbDeviceInfo {
    uint16_t vendor = 0;
    uint16_t product = 0;
    // The serial number string; where the device has none (or cannot be asked), its port path
    // ("1-2.3"), which stays the same while it stays plugged into the same socket.
    std::string serial;
    uint8_t bus = 0;
    uint8_t address = 0;
};

// Every USB device present, in the system's order. Only devices of `serial_vendor` are opened
// to read their serial number; the others are merely listed.
std::vector<UsbDeviceInfo> ListUsbDevices(uint16_t serial_vendor);

class UsbDevice {
  public:
    // Read's count when the device went away.
    static constexpr long kGone = -2;

    UsbDevice() = default;
    ~UsbDevice();
    UsbDevice(const UsbDevice&) = delete;
    UsbDevice& operator=(const UsbDevice&) = delete;

    // The device at bus/address; false when it is gone or cannot be opened.
    bool Open(uint8_t bus, uint8_t address);
    bool IsOpen() const { return handle_ != nullptr; }
    // Selects the first configuration and claims interface 0. Either may fail on a device that
    // is set up already; a transfer then shows whether it works.
    void Configure();
    // The first configuration descriptor as the device sends it, at most `length` bytes.
    std::optional<std::vector<uint8_t>> ConfigDescriptor(uint16_t length);
    // One bulk read of up to `capacity` bytes: the count (0 after the time-out or Cancel), or -1
    // when the device failed or went away.
    long Read(uint8_t endpoint, void* data, size_t capacity, uint32_t timeout_ms);
    // Ends a pending Read at once, and every later one before it starts.
    void Cancel();
    // Bytes written within the time-out.
    size_t Write(uint8_t endpoint, const void* data, size_t length, uint32_t timeout_ms);
    void Close();

  private:
    libusb_context* context_ = nullptr;
    libusb_device_handle* handle_ = nullptr;
    bool claimed_ = false;
    std::mutex read_lock_;
    libusb_transfer* pending_ = nullptr;  // GUARDED_BY(read_lock_)
    std::atomic<bool> cancelled_{false};
};

}  // namespace orvana::platform
