// The USB link's reading of what a device says about itself: the configuration walk that finds
// the bulk endpoints (bytes from the device, so every length in them may lie) and the device
// path with its filter and identifier.

#include <gtest/gtest.h>

#include "links/usb_link.h"

namespace orvana {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Config(std::vector<Bytes> endpoints, uint8_t declared = 0) {
    Bytes c = {9, 2, 0, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 0, 0xff, 0, 0, 0};
    c[13] = declared != 0 ? declared : static_cast<uint8_t>(endpoints.size());
    for (const Bytes& e : endpoints) c.insert(c.end(), e.begin(), e.end());
    c[2] = static_cast<uint8_t>(c.size());
    return c;
}

const Bytes kBulkIn = {7, 5, 0x81, 2, 0, 2, 0};
const Bytes kBulkOut = {7, 5, 0x02, 2, 0, 2, 0};
const Bytes kInterruptIn = {7, 5, 0x83, 3, 8, 0, 10};

TEST(UsbConfigWalk, FindsTheBulkPairAmongOtherEndpoints) {
    auto found = FindBulkEndpoints(Config({kInterruptIn, kBulkOut, kBulkIn}));
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->in, 0x81);
    EXPECT_EQ(found->out, 0x02);
    // Two endpoints, neither of them bulk OUT: the link still opens, writing to endpoint 0.
    found = FindBulkEndpoints(Config({kInterruptIn, kBulkIn}));
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->out, 0);
}

TEST(UsbConfigWalk, RefusesWhatDoesNotAddUp) {
    EXPECT_FALSE(FindBulkEndpoints(Config({kBulkIn})));               // one endpoint
    EXPECT_FALSE(FindBulkEndpoints(Config({kBulkIn, kBulkOut}, 3)));  // claims three
    Bytes bad_length = kBulkOut;
    bad_length[0] = 6;
    EXPECT_FALSE(FindBulkEndpoints(Config({kBulkIn, bad_length})));
    // Headers whose lengths point past the end, or at nothing.
    Bytes c = Config({kBulkIn, kBulkOut});
    c[0] = 200;
    EXPECT_FALSE(FindBulkEndpoints(c));
    c = Config({kBulkIn, kBulkOut});
    c[9] = 0;
    EXPECT_FALSE(FindBulkEndpoints(c));
    c = Config({kBulkIn, kBulkOut});
    c[9] = 250;
    EXPECT_FALSE(FindBulkEndpoints(c));
    EXPECT_FALSE(FindBulkEndpoints(Bytes{}));
    EXPECT_FALSE(FindBulkEndpoints(Bytes(9, 0)));
    c = Config({kBulkIn, kBulkOut});
    c.pop_back();
    EXPECT_FALSE(FindBulkEndpoints(c));
}

TEST(UsbDevicePath, FilterAndIdentifier) {
    platform::UsbDeviceInfo d;
    d.vendor = kReceiverUsbVendor;
    d.product = 0xA0f;
    d.serial = "ab12cd34EF56";
    const std::string path = UsbDevicePath(d);
    EXPECT_EQ(path.substr(0, 26), "\\\\?\\usb#vid_1209&pid_0a0f#");
    EXPECT_TRUE(IsReceiverUsbPath(path));
    EXPECT_EQ(UsbIdentifier(path), "AB12CD34EF5");
    d.vendor = 0x0bda;
    EXPECT_FALSE(IsReceiverUsbPath(UsbDevicePath(d)));
    EXPECT_FALSE(IsReceiverUsbPath("\\\\?\\usb#vid_1209&pid_0a0f#x"));  // too short
    EXPECT_EQ(UsbIdentifier("short"), "");
}

}  // namespace
}  // namespace orvana
