// The receiver as a USB device on a bus that umockdev emulates. The testbed lives in this
// process: a host program that runs with the umockdev preload library and UMOCKDEV_DIR set to
// the printed folder sees the device in sysfs and /dev/bus/usb, and its usbfs requests (URBs)
// arrive here on umockdev's worker thread. Bulk OUT data goes to the simulated receiver, its
// answers complete the host's pending bulk IN reads. A second device of another vendor sits on
// the bus too, so a host's vendor filter has something to leave out.

#include <cstdio>
#include <string>

#include "apps/orvanasim/serve.h"
#include "apps/orvanasim/session.h"

#ifdef ORVANA_HAVE_UMOCKDEV

#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "links/usb_link.h"
#include "platform/clock.h"

namespace orvana::sim {
namespace {

constexpr uint16_t kProduct = 0x0001;
constexpr uint16_t kOtherVendor = 0x0bda;
constexpr uint8_t kSerialIndex = 3;
constexpr uint8_t kInEndpoint = 0x81;
constexpr uint8_t kOutEndpoint = 0x02;
constexpr size_t kSetupLength = 8;
constexpr int kEmptyReapWaitMs = 2;

std::vector<uint8_t> DeviceDescriptor(uint16_t vendor, uint8_t serial_index) {
    return {18,
            1,
            0x00,
            0x02,
            0,
            0,
            0,
            64,
            static_cast<uint8_t>(vendor & 0xff),
            static_cast<uint8_t>(vendor >> 8),
            kProduct & 0xff,
            kProduct >> 8,
            0x00,
            0x01,
            0,
            0,
            serial_index,
            1};
}

std::vector<uint8_t> ConfigDescriptor(int endpoints) {
    std::vector<uint8_t> c = {
        9,    2, 0, 0, 1, 1, 0,           0x80, 50, 9, 4, 0, 0, static_cast<uint8_t>(endpoints),
        0xff, 0, 0, 0, 7, 5, kInEndpoint, 2,    0,  2, 0};
    if (endpoints > 1) c.insert(c.end(), {7, 5, kOutEndpoint, 2, 0, 2, 0});
    c[2] = static_cast<uint8_t>(c.size());
    return c;
}

std::vector<uint8_t> StringDescriptor(const std::string& text) {
    std::vector<uint8_t> d = {static_cast<uint8_t>(2 + 2 * text.size()), 3};
    for (char ch : text) d.insert(d.end(), {static_cast<uint8_t>(ch), 0});
    return d;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string out;
    char two[3];
    for (uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02x", b);
        out += two;
    }
    return out;
}

// One URB the host submitted: its record and its buffer, resolved into this process, and the
// open device it came through (URBs are reaped per open device, as the kernel does).
struct Urb {
    UMockdevIoctlClient* client = nullptr;
    UMockdevIoctlData* record = nullptr;
    UMockdevIoctlData* buffer = nullptr;
    usbdevfs_urb* fields() const { return reinterpret_cast<usbdevfs_urb*>(record->data); }
};

class EmulatedDevice : public Peer {
  public:
    EmulatedDevice(const Options& options, Transcript* transcript)
        : options_(options), transcript_(transcript) {}
    ~EmulatedDevice() override {
        std::lock_guard<std::mutex> guard(mu_);
        for (Urb& u : pending_in_) Release(u);
        for (auto& [client, urbs] : reapable_)
            for (Urb& u : urbs) Release(u);
    }

    // The host closed the device: what it left unreaped goes.
    void Forget(UMockdevIoctlClient* client) {
        std::lock_guard<std::mutex> guard(mu_);
        for (auto it = pending_in_.begin(); it != pending_in_.end();) {
            if (it->client != client) {
                ++it;
                continue;
            }
            Release(*it);
            it = pending_in_.erase(it);
        }
        auto found = reapable_.find(client);
        if (found == reapable_.end()) return;
        for (Urb& u : found->second) Release(u);
        reapable_.erase(found);
    }

    // Called on umockdev's worker thread.
    bool HandleIoctl(UMockdevIoctlClient* client) {
        const unsigned long request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        switch (request) {
            case USBDEVFS_GET_CAPABILITIES: {
                UMockdevIoctlData* caps =
                    umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
                const uint32_t value = USBDEVFS_CAP_BULK_CONTINUATION |
                                       USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                       USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
                std::memcpy(caps->data, &value, sizeof value);
                umockdev_ioctl_client_complete(client, 0, 0);
                g_object_unref(caps);
                return true;
            }
            case USBDEVFS_SETCONFIGURATION:
            case USBDEVFS_CLAIMINTERFACE:
            case USBDEVFS_RELEASEINTERFACE:
            case USBDEVFS_DISCONNECT_CLAIM:
            case USBDEVFS_CLEAR_HALT:
            case USBDEVFS_RESET:
            case USBDEVFS_RESETEP:
                umockdev_ioctl_client_complete(client, 0, 0);
                return true;
            case USBDEVFS_GETDRIVER:
                umockdev_ioctl_client_complete(client, -1, ENODATA);
                return true;
            case USBDEVFS_SUBMITURB:
                if (Unplugged()) {
                    umockdev_ioctl_client_complete(client, -1, ENODEV);
                    return true;
                }
                Submit(client, arg);
                return true;
            case USBDEVFS_REAPURB:
            case USBDEVFS_REAPURBNDELAY:
                Reap(client, arg);
                return true;
            case USBDEVFS_DISCARDURB:
                Discard(client, arg);
                return true;
            default:
                return false;
        }
    }

    // The disconnect fault: the device is pulled out. The host's pending reads end as the
    // kernel ends them then, and every later request finds no device.
    void Unplug() {
        std::lock_guard<std::mutex> guard(mu_);
        unplugged_ = true;
        while (!pending_in_.empty()) {
            Urb u = pending_in_.front();
            pending_in_.pop_front();
            u.fields()->status = -ENODEV;
            reapable_[u.client].push_back(u);
        }
        reapable_cv_.notify_all();
    }

    // Peer: the host's bulk OUT data, and the receiver's answers for its bulk IN reads.
    bool Write(std::string_view bytes) override {
        std::lock_guard<std::mutex> guard(mu_);
        to_host_.append(bytes);
        FillReads();
        return true;
    }
    int WaitReadable(uint32_t timeout_ms) override {
        std::unique_lock<std::mutex> lock(mu_);
        return from_host_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                      [this] { return !from_host_.empty(); })
                   ? 1
                   : 0;
    }
    long Read(char* buffer, size_t length) override {
        std::lock_guard<std::mutex> guard(mu_);
        const size_t n = std::min(length, from_host_.size());
        std::memcpy(buffer, from_host_.data(), n);
        from_host_.erase(0, n);
        return static_cast<long>(n);
    }

  private:
    bool Unplugged() {
        std::lock_guard<std::mutex> guard(mu_);
        return unplugged_;
    }
    static void Release(Urb& u) {
        if (u.buffer != nullptr) g_object_unref(u.buffer);
        if (u.record != nullptr) g_object_unref(u.record);
        u = {};
    }

    void Submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
        Urb u;
        u.client = client;
        u.record = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
        if (u.record == nullptr) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
        usbdevfs_urb* f = u.fields();
        const size_t length = f->buffer_length > 0 ? static_cast<size_t>(f->buffer_length) : 0;
        u.buffer =
            umockdev_ioctl_data_resolve(u.record, offsetof(usbdevfs_urb, buffer), length, nullptr);
        if (u.buffer == nullptr) {
            Release(u);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
        std::lock_guard<std::mutex> guard(mu_);
        f->status = 0;
        f->actual_length = 0;
        if (f->type == USBDEVFS_URB_TYPE_CONTROL) {
            AnswerControl(u, length);
            reapable_[client].push_back(u);
        } else if (f->type == USBDEVFS_URB_TYPE_BULK && f->endpoint == kOutEndpoint &&
                   options_.usb_endpoints > 1) {
            from_host_.append(reinterpret_cast<const char*>(u.buffer->data), length);
            f->actual_length = static_cast<int>(length);
            reapable_[client].push_back(u);
            from_host_cv_.notify_all();
        } else if (f->type == USBDEVFS_URB_TYPE_BULK && f->endpoint == kInEndpoint) {
            pending_in_.push_back(u);
            FillReads();
        } else {
            Release(u);
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            return;
        }
        umockdev_ioctl_client_complete(client, 0, 0);
    }

    // Standard requests only: the descriptors and the current configuration.
    void AnswerControl(Urb& u, size_t length) {
        usbdevfs_urb* f = u.fields();
        uint8_t* b = static_cast<uint8_t*>(u.buffer->data);
        if (length < kSetupLength) {
            f->status = -EPIPE;
            return;
        }
        const uint8_t request = b[1];
        const uint8_t type = b[3], index = b[2];
        const size_t wanted = std::min<size_t>(b[6] | (b[7] << 8), length - kSetupLength);
        std::vector<uint8_t> answer;
        if (request == 6 && type == 1) answer = DeviceDescriptor(kReceiverUsbVendor, kSerialIndex);
        if (request == 6 && type == 2) answer = ConfigDescriptor(options_.usb_endpoints);
        if (request == 6 && type == 3)
            answer = index == 0              ? std::vector<uint8_t>{4, 3, 0x09, 0x04}
                     : index == kSerialIndex ? StringDescriptor(options_.usb_serial)
                                             : std::vector<uint8_t>{};
        if (request == 8) answer = {1};
        if (answer.empty()) {
            f->status = -EPIPE;
            return;
        }
        const size_t n = std::min(wanted, answer.size());
        std::memcpy(b + kSetupLength, answer.data(), n);
        f->actual_length = static_cast<int>(n);
    }

    // Hands waiting answer bytes to the host's pending bulk IN reads. Under mu_.
    void FillReads() {
        while (!to_host_.empty() && !pending_in_.empty()) {
            Urb u = pending_in_.front();
            pending_in_.pop_front();
            usbdevfs_urb* f = u.fields();
            const size_t n = std::min(to_host_.size(), static_cast<size_t>(f->buffer_length));
            std::memcpy(u.buffer->data, to_host_.data(), n);
            to_host_.erase(0, n);
            f->actual_length = static_cast<int>(n);
            reapable_[u.client].push_back(u);
        }
        reapable_cv_.notify_all();
    }

    void Reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
        Urb u;
        {
            // The emulated device node always polls ready, so the host asks again at once: a
            // short wait for an answer keeps that from spinning.
            std::unique_lock<std::mutex> lock(mu_);
            std::deque<Urb>& mine = reapable_[client];
            reapable_cv_.wait_for(lock, std::chrono::milliseconds(kEmptyReapWaitMs),
                                  [&] { return !mine.empty(); });
            if (mine.empty()) {
                umockdev_ioctl_client_complete(client, -1, EAGAIN);
                return;
            }
            u = mine.front();
            mine.pop_front();
        }
        UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
        if (slot == nullptr) {
            Release(u);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
        umockdev_ioctl_data_set_ptr(slot, 0, u.record);
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(slot);
        Release(u);
    }

    void Discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
        const gulong address = *reinterpret_cast<gulong*>(arg->data);
        std::lock_guard<std::mutex> guard(mu_);
        for (auto it = pending_in_.begin(); it != pending_in_.end(); ++it) {
            if (it->client != client || it->record->client_addr != address) continue;
            it->fields()->status = -ENOENT;
            reapable_[client].push_back(*it);
            pending_in_.erase(it);
            umockdev_ioctl_client_complete(client, 0, 0);
            return;
        }
        umockdev_ioctl_client_complete(client, -1, EINVAL);
    }

    const Options& options_;
    Transcript* transcript_;
    std::mutex mu_;
    std::condition_variable from_host_cv_;
    std::condition_variable reapable_cv_;
    bool unplugged_ = false;                                    // GUARDED_BY(mu_)
    std::string from_host_;                                     // GUARDED_BY(mu_)
    std::string to_host_;                                       // GUARDED_BY(mu_)
    std::deque<Urb> pending_in_;                                // GUARDED_BY(mu_)
    std::map<UMockdevIoctlClient*, std::deque<Urb>> reapable_;  // GUARDED_BY(mu_)
};

gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer device) {
    return static_cast<EmulatedDevice*>(device)->HandleIoctl(client) ? TRUE : FALSE;
}

void OnClientGone(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer device) {
    static_cast<EmulatedDevice*>(device)->Forget(client);
}

void AddDevice(UMockdevTestbed* testbed, int number, const std::vector<uint8_t>& descriptors) {
    char devnum[4];
    std::snprintf(devnum, sizeof devnum, "%03d", number);
    const std::string text =
        std::string("P: /devices/usb1/1-") + std::to_string(number) + "\nN: bus/usb/001/" + devnum +
        "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n" + "E: BUSNUM=001\nE: DEVNUM=" + devnum +
        "\nE: DEVNAME=/dev/bus/usb/001/" + devnum +
        "\nA: busnum=1\\n\nA: devnum=" + std::to_string(number) +
        "\\n\nA: bConfigurationValue=1\\n\nA: speed=480\\n\nH: descriptors=" + Hex(descriptors) +
        "\n";
    umockdev_testbed_add_from_string(testbed, text.c_str(), nullptr);
}

}  // namespace

int ServeUsb(const Options& options, Transcript* transcript) {
    UMockdevTestbed* testbed = umockdev_testbed_new();
    UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
    EmulatedDevice device(options, transcript);
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(OnIoctl), &device);
    g_signal_connect(handler, "client-vanished", G_CALLBACK(OnClientGone), &device);
    // The handler first: a host that sees the device at once can open it.
    umockdev_testbed_attach_ioctl(testbed, "/dev/bus/usb/001/002", handler, nullptr);
    std::vector<uint8_t> receiver = DeviceDescriptor(kReceiverUsbVendor, kSerialIndex);
    const std::vector<uint8_t> config = ConfigDescriptor(options.usb_endpoints);
    receiver.insert(receiver.end(), config.begin(), config.end());
    std::vector<uint8_t> other = DeviceDescriptor(kOtherVendor, 0);
    other.insert(other.end(), config.begin(), config.end());
    AddDevice(testbed, 1, other);
    AddDevice(testbed, 2, receiver);
    gchar* root = umockdev_testbed_get_root_dir(testbed);
    std::printf("USB testbed %s\n", root);
    std::fflush(stdout);
    g_free(root);
    const std::string term = options.term.empty() ? "/dev/usb/a" : options.term;
    while (!StopRequested()) {
        SimReceiver receiver_sim(options, device, term, transcript);
        if (RunSession(receiver_sim, device, {}) == SessionEnd::Stopped) break;
        if (options.faults.disconnect_after > 0) {
            device.Unplug();
            while (!StopRequested(100)) {
            }
            break;
        }
    }
    umockdev_testbed_detach_ioctl(testbed, "/dev/bus/usb/001/002", nullptr);
    g_object_unref(handler);
    g_object_unref(testbed);
    Note("stopped");
    return 0;
}

}  // namespace orvana::sim

#else

namespace orvana::sim {

int ServeUsb(const Options&, Transcript*) {
    Note("--usb needs a build with umockdev (libumockdev-dev)");
    return 2;
}

}  // namespace orvana::sim

#endif
