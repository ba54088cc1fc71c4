#include "apps/orvanasim/output_list.h"

#include <cstdio>
#include <cstdlib>

#include "apps/orvanasim/receiver_text.h"

namespace orvana::sim {
namespace {

std::string Trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
    return std::string(s.substr(b, e - b));
}

// A decimal number filling the whole text.
bool ParseNumber(const std::string& text, double* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    *value = std::strtod(text.c_str(), &end);
    return end && *end == '\0';
}

bool Due(uint32_t now, uint32_t at) {
    return static_cast<int32_t>(now - at) >= 0;
}

struct ParsedItem {
    std::string name;
    double period_s = 1.0;
    int index = -1;
};

bool ParseItem(const std::string& item, const MessageNames& names, ParsedItem* out,
               std::string* error) {
    size_t colon = item.find(':');
    out->name = Trim(item.substr(0, colon));
    if (names.IndexOf(out->name) < 0) {
        *error = "unknown message " + out->name;
        return false;
    }
    out->index = names.IndexOf(out->name);
    const bool own_index_fits = out->index <= 255;
    if (colon == std::string::npos) {
        if (!own_index_fits) *error = "no index for " + out->name;
        return own_index_fits;
    }
    std::string rest = Trim(item.substr(colon + 1));
    std::vector<std::string> fields;
    if (!rest.empty() && rest.front() == '{') {
        if (rest.back() != '}') {
            *error = "bad item " + item;
            return false;
        }
        std::string inner = rest.substr(1, rest.size() - 2);
        size_t at = 0;
        for (;;) {
            size_t comma = inner.find(',', at);
            fields.push_back(Trim(inner.substr(at, comma - at)));
            if (comma == std::string::npos) break;
            at = comma + 1;
        }
    } else {
        fields.push_back(rest);
    }
    double period = 0;
    if (!ParseNumber(fields[0], &period) || period <= 0 || period > 86400) {
        *error = "bad period in " + item;
        return false;
    }
    out->period_s = period;
    if (fields.size() >= 3 && !fields[2].empty()) {
        double n = 0;
        if (!ParseNumber(fields[2], &n) || n > -1 || n < -256) {
            *error = "bad index in " + item;
            return false;
        }
        out->index = static_cast<int>(-n) - 1;
    } else if (!own_index_fits) {
        *error = "no index for " + out->name;
        return false;
    }
    return true;
}

}  // namespace

std::vector<std::string> SplitListItems(std::string_view list) {
    std::vector<std::string> items;
    int depth = 0;
    std::string current;
    for (char c : list) {
        if (c == '{') ++depth;
        if (c == '}' && depth > 0) --depth;
        if (c == ',' && depth == 0) {
            if (!Trim(current).empty()) items.push_back(Trim(current));
            current.clear();
            continue;
        }
        current.push_back(c);
    }
    if (!Trim(current).empty()) items.push_back(Trim(current));
    return items;
}

bool OutputSchedule::Enable(std::string_view list, const MessageNames& names, double time_scale,
                            uint32_t now, std::string* error) {
    std::vector<ParsedItem> parsed;
    for (const auto& item : SplitListItems(list)) {
        ParsedItem p;
        if (!ParseItem(item, names, &p, error)) return false;
        parsed.push_back(std::move(p));
    }
    if (time_scale <= 0) time_scale = 1;
    for (const auto& p : parsed) {
        double ms = p.period_s * 1000.0 / time_scale;
        uint32_t period_ms = ms < 1 ? 1 : ms > 3.6e9 ? 3600000000u : static_cast<uint32_t>(ms);
        OutputItem* slot = nullptr;
        for (auto& existing : items_) {
            if (existing.name == p.name) slot = &existing;
        }
        if (!slot) {
            items_.push_back(OutputItem{});
            slot = &items_.back();
            slot->name = p.name;
        }
        slot->index = static_cast<uint8_t>(p.index);
        slot->period_ms = period_ms;
        slot->next_due = now + period_ms;
    }
    return true;
}

void OutputSchedule::Disable(std::string_view list) {
    auto names = SplitListItems(list);
    if (names.empty()) {
        items_.clear();
        return;
    }
    for (auto& n : names) n = Trim(n.substr(0, n.find(':')));
    std::erase_if(items_, [&](const OutputItem& item) {
        for (const auto& n : names) {
            if (n == item.name) return true;
        }
        return false;
    });
}

uint32_t OutputSchedule::MsUntilDue(uint32_t now, uint32_t cap) const {
    uint32_t best = cap;
    for (const auto& item : items_) {
        if (Due(now, item.next_due)) return 0;
        uint32_t wait = item.next_due - now;
        if (wait < best) best = wait;
    }
    return best;
}

void OutputSchedule::TakeDue(uint32_t now, bool flood, std::vector<OutputItem*>* due) {
    for (auto& item : items_) {
        if (flood) {
            due->push_back(&item);
            continue;
        }
        if (!Due(now, item.next_due)) continue;
        due->push_back(&item);
        item.next_due += item.period_ms;
        // A receiver that fell far behind (a stalled host) does not burst to catch up.
        if (Due(now, item.next_due + 4 * item.period_ms)) item.next_due = now + item.period_ms;
    }
}

std::string ContainerPayload(uint32_t message_sequence, uint32_t stream_sequence,
                             const std::string& name, size_t min_size, int64_t stamp_us) {
    char head[32];
    std::snprintf(head, sizeof head, "%010u %010u ", message_sequence, stream_sequence);
    std::string payload = head + name;
    if (stamp_us >= 0) {
        char stamp[24];
        std::snprintf(stamp, sizeof stamp, " T%016lld", static_cast<long long>(stamp_us));
        payload += stamp;
    }
    if (payload.size() < min_size) payload.append(min_size - payload.size(), '.');
    return payload;
}

std::string BuildContainer(uint8_t index, std::string_view payload, bool corrupt) {
    // L counts the index byte, the payload and the checksum; it must fit three hex digits.
    if (payload.size() > kMaxBody - 3) payload = payload.substr(0, kMaxBody - 3);
    char header[8];
    std::snprintf(header, sizeof header, ">>%03X", static_cast<unsigned>(payload.size() + 3));
    std::string c = header;
    c.push_back(static_cast<char>(index));
    c.append(payload);
    uint8_t sum = ReceiverChecksum(c);
    if (corrupt) sum = static_cast<uint8_t>(sum ^ 0x5A);
    char tail[4];
    std::snprintf(tail, sizeof tail, "%02X", sum);
    return c + tail;
}

}  // namespace orvana::sim
