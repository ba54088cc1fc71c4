#include "platform/usb.h"

#include <libusb.h>

#include <algorithm>
#include <array>

namespace orvana::platform {
namespace {

constexpr size_t kMaxTransfer = 4096;
// The event wait's own bound: Cancel wakes it, this only limits a wait whose wake-up was lost.
constexpr int kEventWaitSeconds = 1;

struct DeviceList {
    libusb_device** devices = nullptr;
    ssize_t count = 0;
    explicit DeviceList(libusb_context* context) {
        count = libusb_get_device_list(context, &devices);
        if (count < 0) count = 0;
    }
    ~DeviceList() {
        if (devices != nullptr) libusb_free_device_list(devices, 1);
    }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;
};

struct Context {
    libusb_context* context = nullptr;
    Context() {
        if (libusb_init(&context) != 0) context = nullptr;
    }
    ~Context() {
        if (context != nullptr) libusb_exit(context);
    }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
};

std::string PortPath(libusb_device* device) {
    std::array<uint8_t, 8> ports{};
    const int n = libusb_get_port_numbers(device, ports.data(), static_cast<int>(ports.size()));
    std::string path = std::to_string(libusb_get_bus_number(device));
    for (int i = 0; i < n; ++i) path += (i == 0 ? "-" : ".") + std::to_string(ports[i]);
    return path;
}

std::string SerialNumber(libusb_device* device, uint8_t index) {
    if (index == 0) return {};
    libusb_device_handle* handle = nullptr;
    if (libusb_open(device, &handle) != 0) return {};
    std::array<unsigned char, 256> text{};
    const int n = libusb_get_string_descriptor_ascii(handle, index, text.data(),
                                                     static_cast<int>(text.size()));
    libusb_close(handle);
    return n > 0 ? std::string(reinterpret_cast<const char*>(text.data()), static_cast<size_t>(n))
                 : std::string();
}

// A transfer's end, seen by the thread that waits for it: libusb's own flag for its event loop, and
// an atomic copy for the loop around it (another thread's event handling may run the callback).
struct Completion {
    int done = 0;
    std::atomic<bool> finished{false};
};

void MarkDone(libusb_transfer* transfer) {
    auto* c = static_cast<Completion*>(transfer->user_data);
    c->done = 1;
    c->finished = true;
}

// Handles the context's events until the submitted transfer has ended; the transfer's own
// time-out bounds the wait.
void AwaitCompletion(libusb_context* context, libusb_transfer* transfer, Completion& completion) {
    while (!completion.finished) {
        timeval wait{kEventWaitSeconds, 0};
        const int rc = libusb_handle_events_timeout_completed(context, &wait, &completion.done);
        if (rc != 0 && rc != LIBUSB_ERROR_INTERRUPTED && rc != LIBUSB_ERROR_BUSY) {
            // The event handling itself failed: take the transfer back before it goes.
            libusb_cancel_transfer(transfer);
        }
    }
}

}  // namespace

std::vector<UsbDeviceInfo> ListUsbDevices(uint16_t serial_vendor) {
    std::vector<UsbDeviceInfo> found;
    Context context;
    if (context.context == nullptr) return found;
    DeviceList list(context.context);
    for (ssize_t i = 0; i < list.count; ++i) {
        libusb_device* device = list.devices[i];
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(device, &descriptor) != 0) continue;
        UsbDeviceInfo info;
        info.vendor = descriptor.idVendor;
        info.product = descriptor.idProduct;
        info.bus = libusb_get_bus_number(device);
        info.address = libusb_get_device_address(device);
        if (info.vendor == serial_vendor)
            info.serial = SerialNumber(device, descriptor.iSerialNumber);
        if (info.serial.empty()) info.serial = PortPath(device);
        found.push_back(std::move(info));
    }
    return found;
}

UsbDevice::~UsbDevice() {
    Close();
}

bool UsbDevice::Open(uint8_t bus, uint8_t address) {
    Close();
    cancelled_ = false;
    if (libusb_init(&context_) != 0) {
        context_ = nullptr;
        return false;
    }
    DeviceList list(context_);
    for (ssize_t i = 0; i < list.count && handle_ == nullptr; ++i) {
        libusb_device* device = list.devices[i];
        if (libusb_get_bus_number(device) != bus || libusb_get_device_address(device) != address)
            continue;
        if (libusb_open(device, &handle_) != 0) handle_ = nullptr;
    }
    if (handle_ == nullptr) {
        Close();
        return false;
    }
    // A kernel driver that took the interface gives it back while the receiver is open.
    libusb_set_auto_detach_kernel_driver(handle_, 1);
    return true;
}

void UsbDevice::Configure() {
    if (handle_ == nullptr) return;
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_config_descriptor(libusb_get_device(handle_), 0, &config) == 0) {
        int current = 0;
        if (libusb_get_configuration(handle_, &current) != 0 ||
            current != config->bConfigurationValue)
            libusb_set_configuration(handle_, config->bConfigurationValue);
        libusb_free_config_descriptor(config);
    }
    claimed_ = libusb_claim_interface(handle_, 0) == 0;
}

std::optional<std::vector<uint8_t>> UsbDevice::ConfigDescriptor(uint16_t length) {
    if (handle_ == nullptr) return std::nullopt;
    std::vector<uint8_t> bytes(length);
    const int n = libusb_get_descriptor(handle_, LIBUSB_DT_CONFIG, 0, bytes.data(), length);
    if (n < 0) return std::nullopt;
    bytes.resize(static_cast<size_t>(n));
    return bytes;
}

long UsbDevice::Read(uint8_t endpoint, void* data, size_t capacity, uint32_t timeout_ms) {
    if (handle_ == nullptr) return -1;
    std::unique_ptr<libusb_transfer, void (*)(libusb_transfer*)> transfer(libusb_alloc_transfer(0),
                                                                          libusb_free_transfer);
    if (!transfer) return -1;
    Completion completion;
    libusb_fill_bulk_transfer(transfer.get(), handle_, endpoint, static_cast<unsigned char*>(data),
                              static_cast<int>(std::min(capacity, kMaxTransfer)), MarkDone,
                              &completion, timeout_ms);
    {
        std::lock_guard<std::mutex> guard(read_lock_);
        if (cancelled_) return 0;
        const int rc = libusb_submit_transfer(transfer.get());
        if (rc == LIBUSB_ERROR_NO_DEVICE) return kGone;
        if (rc != 0) return -1;
        pending_ = transfer.get();
    }
    AwaitCompletion(context_, transfer.get(), completion);
    {
        std::lock_guard<std::mutex> guard(read_lock_);
        pending_ = nullptr;
    }
    switch (transfer->status) {
        case LIBUSB_TRANSFER_COMPLETED:
        case LIBUSB_TRANSFER_TIMED_OUT:
        case LIBUSB_TRANSFER_CANCELLED:
            return transfer->actual_length;
        case LIBUSB_TRANSFER_NO_DEVICE:
            return kGone;
        default:
            return -1;
    }
}

void UsbDevice::Cancel() {
    std::lock_guard<std::mutex> guard(read_lock_);
    cancelled_ = true;
    if (pending_ != nullptr) libusb_cancel_transfer(pending_);
}

size_t UsbDevice::Write(uint8_t endpoint, const void* data, size_t length, uint32_t timeout_ms) {
    if (handle_ == nullptr) return 0;
    const auto* bytes = static_cast<const unsigned char*>(data);
    size_t written = 0;
    while (written < length) {
        const size_t piece = std::min(length - written, kMaxTransfer);
        std::unique_ptr<libusb_transfer, void (*)(libusb_transfer*)> transfer(
            libusb_alloc_transfer(0), libusb_free_transfer);
        if (!transfer) break;
        Completion completion;
        // libusb does not write through the pointer of an OUT transfer.
        libusb_fill_bulk_transfer(transfer.get(), handle_, endpoint,
                                  const_cast<unsigned char*>(bytes + written),
                                  static_cast<int>(piece), MarkDone, &completion, timeout_ms);
        if (libusb_submit_transfer(transfer.get()) != 0) break;
        // Not libusb's synchronous call: its completion flag is invisible to the thread checker,
        // and the reader's event handling may be the one that completes this transfer.
        AwaitCompletion(context_, transfer.get(), completion);
        const int sent = transfer->actual_length;
        written += static_cast<size_t>(sent > 0 ? sent : 0);
        if (transfer->status != LIBUSB_TRANSFER_COMPLETED || static_cast<size_t>(sent) != piece)
            break;
    }
    return written;
}

void UsbDevice::Close() {
    Cancel();
    if (handle_ != nullptr) {
        if (claimed_) libusb_release_interface(handle_, 0);
        libusb_close(handle_);
        handle_ = nullptr;
        claimed_ = false;
    }
    if (context_ != nullptr) {
        libusb_exit(context_);
        context_ = nullptr;
    }
}

}  // namespace orvana::platform
