#include "links/usb_link.h"

#include <cstdio>

#include "core/event_log.h"
#include "core/text.h"

namespace orvana {
namespace {

constexpr size_t kPathPrefixLength = 17;  // "\\?\usb#vid_" + four hex digits + "&"
constexpr size_t kIdentifierAt = 26;
constexpr size_t kIdentifierLength = 11;
constexpr size_t kConfigHeaderLength = 9;
constexpr size_t kEndpointLength = 7;
// The reader's own limits: a failing device is asked again after a pause, not in a spin; the
// thread's start is awaited for a bounded time only.
constexpr uint32_t kFailedReadPauseMs = 1000;
constexpr uint32_t kStartWaitMs = 10000;
const char* const kCannotOpen = "ER:Cannot open device";

std::string Hex4(uint16_t value) {
    char text[5];
    std::snprintf(text, sizeof text, "%04x", value);
    return text;
}

}  // namespace

std::string UsbDevicePath(const platform::UsbDeviceInfo& device) {
    return "\\\\?\\usb#vid_" + Hex4(device.vendor) + "&pid_" + Hex4(device.product) + "#" +
           device.serial + "#" + std::string(kReceiverUsbClass);
}

bool IsReceiverUsbPath(std::string_view path) {
    const std::string prefix = "\\\\?\\usb#vid_" + Hex4(kReceiverUsbVendor) + "&";
    return path.size() > 37 && path.substr(0, kPathPrefixLength) == prefix;
}

std::string UsbIdentifier(std::string_view path) {
    if (path.size() <= kIdentifierAt) return {};
    return ToUpperAscii(path.substr(kIdentifierAt, kIdentifierLength));
}

std::vector<UsbReceiverDevice> EnumerateUsbReceivers(size_t* seen) {
    std::vector<UsbReceiverDevice> found;
    const std::vector<platform::UsbDeviceInfo> devices =
        platform::ListUsbDevices(kReceiverUsbVendor);
    if (seen != nullptr) *seen = devices.size();
    for (const platform::UsbDeviceInfo& d : devices) {
        std::string path = UsbDevicePath(d);
        if (IsReceiverUsbPath(path)) found.push_back({std::move(path), d});
    }
    return found;
}

std::optional<BulkEndpoints> FindBulkEndpoints(const std::vector<uint8_t>& config) {
    const size_t total = config.size();
    if (total < kConfigHeaderLength) return std::nullopt;
    const size_t l1 = config[0];
    if (l1 == 0 || l1 + 5 > total) return std::nullopt;
    const size_t l2 = config[l1];
    const size_t endpoints = config[l1 + 4];
    if (endpoints < 2 || l2 == 0 || total < l1 + l2 ||
        total - (l1 + l2) != kEndpointLength * endpoints)
        return std::nullopt;
    BulkEndpoints found;
    bool have_in = false, have_out = false;
    for (size_t at = l1 + l2; at + kEndpointLength <= total && !(have_in && have_out);
         at += kEndpointLength) {
        if (config[at] != kEndpointLength) return std::nullopt;
        if ((config[at + 3] & 3) != 2) continue;
        const uint8_t address = config[at + 2];
        if (address & 0x80) {
            found.in = address;
            have_in = true;
        } else {
            found.out = address;
            have_out = true;
        }
    }
    return found;
}

UsbLink::UsbLink(ReceiverContext context, const std::string& addr)
    : Receiver(std::move(context), LinkKind::kUsb) {
    address = ToLowerAscii(addr);
    error_text = kCannotOpen;
    if (!OpenDevice()) return;
    error_text.clear();
    std::string why;
    if (!reader_.Start([this] { ReaderThread(); }, &why)) {
        error_text = kCannotOpen;
        log().WriteLine("Dev/USB " + address + ": cannot start the reader thread (" + why + ")");
        return;
    }
    started_.Wait(kStartWaitMs);
}

bool UsbLink::OpenDevice() {
    const UsbReceiverDevice* chosen = nullptr;
    const std::vector<UsbReceiverDevice> receivers = EnumerateUsbReceivers();
    for (const UsbReceiverDevice& r : receivers) {
        if (ToLowerAscii(r.path).find(address) != std::string::npos) {
            chosen = &r;
            break;
        }
    }
    if (chosen == nullptr || !device_.Open(chosen->device.bus, chosen->device.address))
        return false;
    device_.Configure();
    const auto header = device_.ConfigDescriptor(kConfigHeaderLength);
    if (!header || header->size() != kConfigHeaderLength) return false;
    const uint16_t total = static_cast<uint16_t>((*header)[2] | ((*header)[3] << 8));
    const auto config = device_.ConfigDescriptor(total);
    if (!config || config->size() != total) return false;
    const std::optional<BulkEndpoints> endpoints = FindBulkEndpoints(*config);
    if (!endpoints) return false;
    endpoints_ = *endpoints;
    return true;
}

UsbLink::~UsbLink() {
    stop = 1;
    device_.Cancel();
    wake_.Set();
    reader_.Join();
    device_.Close();
}

void UsbLink::ReaderThread() {
    log().WriteLine("Dev/USB " + address + " thread started.");
    started_.Set();
    while (stop == 0) {
        const long n =
            device_.Read(endpoints_.in, input_area.data(), input_area.size(), kReadWaitMs);
        if (stop != 0) break;
        if (n == platform::UsbDevice::kGone) {
            // Unplugged: the receiver is given up, and the next command that finds the stop
            // flag releases its clients.
            log().WriteLine("Dev/USB " + address + " device lost");
            RequestStop();
            break;
        }
        if (n < 0) {
            wake_.Wait(kFailedReadPauseMs);
            continue;
        }
        // A read that timed out brings nothing; an empty Replace would wipe a waiting reply.
        if (n > 0) HandleInput(static_cast<size_t>(n));
    }
    log().WriteLine("Dev/USB " + address + " thread terminated.\r\n");
}

uint32_t UsbLink::Write(const void* data, uint32_t length) {
    return static_cast<uint32_t>(device_.Write(endpoints_.out, data, length, kWriteWaitMs));
}

}  // namespace orvana
