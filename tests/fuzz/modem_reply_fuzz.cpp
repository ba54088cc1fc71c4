// A modem's answers to the dial sequence, in reads of any size: the line ends at the first
// carriage return after its leading two bytes, holds no more than its size, and is complete
// exactly once.

#include <cstdint>
#include <cstdlib>

#include "links/modem_reply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t piece = 1 + data[0] % 32;
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    orvana::ModemReplyLine line;
    int completions = 0;
    for (size_t at = 0; at + 1 < size; at += piece) {
        const size_t n = size - 1 - at < piece ? size - 1 - at : piece;
        completions += line.Append(bytes + at, n) ? 1 : 0;
    }
    if (completions > 1 || (completions == 1) != line.done()) std::abort();
    const std::string text = line.Text();
    if (text.size() + 2 > orvana::ModemReplyLine::kSize) std::abort();
    if (line.done() && text.find('\r') != std::string::npos) std::abort();
    return 0;
}
