#include "receivers/receiver.h"

#include "core/config_keys.h"
#include "core/config_store.h"
#include "core/event_log.h"
#include "platform/clock.h"

namespace orvana {

Receiver::Receiver(ReceiverContext context, LinkKind k)
    : output(*context.messages), kind(k), context_(std::move(context)) {
    receiver_name = context_.receiver_name;
    interface_name = context_.interface_name;
}

Receiver::~Receiver() {
    stop = 1;
    for (const std::string& line : repeated_lines_.Flush()) log().WriteLine(line);
    if (context_.store == nullptr || receiver_name.empty()) return;
    // A running total: the count of one receiver's life is added to what earlier ones left.
    const std::string key = context_.receivers_path + receiver_name;
    const uint32_t stored = context_.store->ReadNumber(key, cfg::kDevError);
    context_.store->WriteNumber(key, cfg::kDevError.name, stored + error_count.load());
}

void Receiver::LogStreamBytes(const std::string& kind, const void* bytes, size_t count) {
    std::string summary;
    if (!repeated_lines_.Admit(kind, platform::TickCount(), &summary)) return;
    if (!summary.empty()) log().WriteLine(summary);
    log().WriteBytes(kind, bytes, count);
}

bool Receiver::RequestStop() {
    const bool first = stop.exchange(1) == 0;
    reply_event.Set();
    raw_input_event.Set();
    return first;
}

void Receiver::ClearInput() {
    input_area.fill(0);
}

void Receiver::HandleInput(size_t n) {
    if (n > kInputSize) n = kInputSize;
    if (context_.traffic != nullptr) Bump(context_.traffic->bytes_in, n);
    switch (input_mode.load()) {
        case InputMode::kAppend:
            // A transfer takes what comes frame by frame and clears the buffer each time; a
            // receiver that floods it meanwhile must not grow it without end.
            if (reply.Length() < kMaxRawInput) reply.Append(input_area.data(), n);
            raw_input_event.Set();
            break;
        case InputMode::kParse:
            ++read_count;
            ParseStream(n);
            if (context_.send_delivered) context_.send_delivered(*this);
            break;
        case InputMode::kReplace:
            reply.Assign(input_area.data(), n);
            raw_input_event.Set();
            break;
    }
}

}  // namespace orvana
