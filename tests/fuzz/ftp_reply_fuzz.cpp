// A receiver's FTP server's reply lines against the dialogue's entries.

#include <cstdint>
#include <string_view>

#include "transfer/ftp_client.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view all(reinterpret_cast<const char*>(data), size);
    const size_t cut = all.find('\n');
    const std::string_view reply = all.substr(0, cut);
    const std::string_view entry = cut == std::string_view::npos ? "" : all.substr(cut + 1);
    (void)orvana::FtpReplyFits(reply, entry);
    (void)orvana::FtpReplyFits(reply, "220");
    (void)orvana::FtpReplyFits(entry, reply);
    return 0;
}
