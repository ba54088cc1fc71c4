// A configuration descriptor as a USB device sends it: every length in it may lie. The walk
// must stay inside the bytes, and what it finds must be bulk endpoints of the descriptor.

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "links/usb_link.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> config(data, data + size);
    const auto found = orvana::FindBulkEndpoints(config);
    if (!found) return 0;
    auto is_bulk_endpoint = [&](uint8_t address) {
        if (address == 0) return true;  // that kind was missing
        for (size_t at = 0; at + 7 <= size; ++at)
            if (config[at] == 7 && config[at + 2] == address && (config[at + 3] & 3) == 2)
                return true;
        return false;
    };
    if ((found->in != 0 && !(found->in & 0x80)) || (found->out & 0x80)) std::abort();
    if (!is_bulk_endpoint(found->in) || !is_bulk_endpoint(found->out)) std::abort();
    return 0;
}
