// A receiver's byte stream as the reader thread hands it over, read by read: replies (merged
// when a reply comes in pieces) and data containers, in any split, with any garbage between.
// Every container handed to the delivery must be whole: ">>", its length, a right checksum.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/event_log.h"
#include "core/text.h"
#include "receivers/message_table.h"
#include "receivers/receiver.h"

using namespace orvana;

namespace {

class FuzzReceiver : public Receiver {
  public:
    explicit FuzzReceiver(ReceiverContext context) : Receiver(std::move(context), LinkKind::kCom) {}
    uint32_t Write(const void*, uint32_t length) override { return length; }
    bool SetFlowControl(bool) override { return true; }
    bool SetSpeed(uint32_t) override { return true; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // Never opened: the parser's log lines go nowhere.
    static EventLog log("/nonexistent/orvana-fuzz");
    static MessageTable messages;
    ReceiverContext context;
    context.log = &log;
    context.messages = &messages;
    context.receiver_name = "Fuzz";
    context.deliver = [](Receiver&, const uint8_t* m, size_t n) {
        if (n < 8 || m[0] != '>' || m[1] != '>') std::abort();
        const int a = HexDigitValue(static_cast<char>(m[2])),
                  b = HexDigitValue(static_cast<char>(m[3])),
                  c = HexDigitValue(static_cast<char>(m[4]));
        if (a < 0 || b < 0 || c < 0 || static_cast<size_t>(a * 256 + b * 16 + c) + 5 != n)
            std::abort();
    };
    FuzzReceiver r(std::move(context));
    // The first byte: how the stream is cut into reads, and whether a sender awaits a reply.
    const size_t piece = 1 + (data[0] & 0x3F) * 64;
    r.awaiting_reply = (data[0] & 0x40) ? 1 : 0;
    ++data;
    --size;
    for (size_t at = 0; at < size; at += piece) {
        const size_t n = size - at < piece ? size - at : piece;
        std::memcpy(r.input_area.data(), data + at,
                    n < r.input_area.size() ? n : r.input_area.size());
        r.HandleInput(n);
    }
    if (r.reply.Length() > r.reply.Capacity()) std::abort();
    return 0;
}
