#include "receivers/output_setup.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "core/text.h"

namespace orvana {
namespace {

bool IsNameChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

constexpr uint16_t kDefaultPeriod = 10;

}  // namespace

size_t DeleteOutputItem(std::string* list, const std::string& head) {
    size_t at = list->find(head);
    if (at == std::string::npos) return at;
    size_t close = list->find('}', at);
    size_t end = close == std::string::npos ? list->size() : std::min(list->size(), close + 2);
    list->erase(at, end - at);
    return at;
}

std::string OutputSetup::ItemHead(int index) const {
    const MessageEntry& e = table_->Entry(index);
    return std::string(GroupPrefix(e.group)) + e.name + ":{";
}

std::string OutputSetup::Item(int index, uint16_t period) const {
    char tail[48];
    std::snprintf(tail, sizeof tail, "%2.1f,0,-%d},", period / 10.0, index + 1);
    return ItemHead(index) + tail;
}

int OutputSetup::SlotOf(const MessageSubscription* a) const {
    for (int i = 0; i < kOutputSlots; ++i)
        if (slots_[static_cast<size_t>(i)] == a) return i;
    return -1;
}

uint16_t OutputSetup::CommonPeriod(int index) const {
    std::vector<unsigned> values;
    for (auto* s : slots_)
        if (s && s->periods[static_cast<size_t>(index)] != 0)
            values.push_back(s->periods[static_cast<size_t>(index)]);
    if (values.empty()) return 0;
    bool all_equal = true;
    for (unsigned v : values) all_equal = all_equal && v == values[0];
    if (all_equal) return static_cast<uint16_t>(values[0]);
    // Values only shrink, so this ends; the bound is a guard, not a limit that is ever reached.
    for (int round = 0; round < 64; ++round) {
        unsigned m = values[0];
        for (unsigned v : values)
            if (v != 0 && v < m) m = v;
        for (unsigned& v : values) {
            if (v == m) continue;
            v %= m;
            if (v == 0) return static_cast<uint16_t>(m);
        }
    }
    return static_cast<uint16_t>(values[0]);
}

bool OutputSetup::AddMessages(MessageSubscription* a, std::string_view request) {
    const int end = table_->End();
    int g = request.empty() ? 0 : std::max(HexDigitValue(request[0]), 0);
    int i0 = 0;
    while (i0 < end && table_->Entry(i0).group != g) ++i0;

    int slot = SlotOf(a);
    const int previous_slot = slot;
    if (slot < 0) slot = SlotOf(nullptr);
    if (slot < 0) {
        error_ = "ER:Can't find place for messages";
        return false;
    }
    slots_[static_cast<size_t>(slot)] = a;
    MessageMask new_mask;
    std::string new_list;
    // The request changes a's periods and accumulators; kept to undo a refusal for size.
    const MessageSubscription before = *a;
    const auto periods_before = periods_;

    std::string_view items = request.size() > 2 ? request.substr(2) : std::string_view();
    size_t pos = 0;
    for (;;) {
        size_t comma = items.find(',', pos);
        std::string_view item = items.substr(
            pos, comma == std::string_view::npos ? std::string_view::npos : comma - pos);
        size_t name_len = 0;
        while (name_len < item.size() && IsNameChar(item[name_len])) ++name_len;
        std::string_view name = item.substr(0, name_len);
        int found = -1;
        for (int i = i0; i < end && table_->Entry(i).group == g; ++i) {
            if (table_->Entry(i).name == name) {
                found = i;
                break;
            }
        }
        if (found < 0 || name.empty()) {
            error_ = !name.empty() && table_->WasIgnored(g, name)
                         ? "ER:Message table full, no index for " + std::string(GroupPrefix(g)) +
                               std::string(name)
                         : "ER:Unable message - " + std::string(item.substr(0, 2));
            slots_[static_cast<size_t>(slot)] = nullptr;
            return false;
        }
        size_t idx = static_cast<size_t>(found);
        if (new_mask.test(idx)) DeleteOutputItem(&new_list, ItemHead(found));
        new_mask.set(idx);
        if (table_->Entry(found).name != "WL") {
            uint16_t period = kDefaultPeriod;
            size_t colon = item.find(':');
            if (colon != std::string_view::npos) {
                std::string number(item.substr(colon + 1));
                double tenths = std::strtod(number.c_str(), nullptr) * 10.0;
                if (!std::isfinite(tenths) || tenths < 0 || std::trunc(tenths) >= 65535) {
                    error_ = "ER:Unable period - " + std::string(item);
                } else {
                    period = static_cast<uint16_t>(tenths);
                }
            }
            a->periods[idx] = period;
            periods_[idx] = CommonPeriod(found);
            a->accumulators[idx] = 0;
            new_list += Item(found, periods_[idx]);
        }
        if (comma == std::string_view::npos) break;
        pos = comma + 1;
    }

    MessageMask shared = union_mask_ & new_mask;
    std::string copy = output_list_;
    for (int i = 1; i < end; ++i) {
        if (!shared.test(static_cast<size_t>(i))) continue;
        std::string head = ItemHead(i);
        size_t in_new = new_list.find(head);
        if (in_new == std::string::npos) continue;
        size_t at = DeleteOutputItem(&copy, head);
        if (at == std::string::npos) continue;  // not in the list yet: goes in with the rest
        size_t close = new_list.find('}', in_new);
        size_t stop =
            close == std::string::npos ? new_list.size() : std::min(new_list.size(), close + 2);
        copy.insert(at, new_list.substr(in_new, stop - in_new));
        new_list.erase(in_new, stop - in_new);
    }
    std::string prefix = GroupPrefix(g);
    size_t insert_at = 0;
    size_t hit = prefix.empty() ? std::string::npos : copy.find(prefix);
    size_t last_hit = std::string::npos;
    while (hit != std::string::npos) {
        last_hit = hit;
        hit = copy.find(prefix, hit + 1);
    }
    if (last_hit != std::string::npos) {
        size_t close = copy.find('}', last_hit);
        insert_at = close == std::string::npos ? copy.size() : std::min(copy.size(), close + 2);
    }
    copy.insert(insert_at, new_list);
    if (copy.size() > kMaxOutputList) {
        *a = before;
        periods_ = periods_before;
        slots_[static_cast<size_t>(slot)] = previous_slot < 0 ? nullptr : a;
        error_ = "ER:Too many messages for the receiver's output list";
        return false;
    }
    union_mask_ |= new_mask;
    a->mask |= new_mask;
    output_list_ = std::move(copy);
    return true;
}

bool OutputSetup::RemoveGroup(MessageSubscription* a, int group) {
    int slot = SlotOf(a);
    if (slot < 0 || a == nullptr) {
        error_ = "ER:Unable receiver!";
        return false;
    }
    if (group == kGroupAll) slots_[static_cast<size_t>(slot)] = nullptr;
    MessageMask others;
    for (int i = 0; i < kOutputSlots; ++i)
        if (i != slot && slots_[static_cast<size_t>(i)])
            others |= slots_[static_cast<size_t>(i)]->mask;
    const MessageMask& g = table_->GroupMask(group);
    MessageMask kept = others & a->mask & g;
    MessageMask dropped = a->mask & ~others & g;
    union_mask_ &= ~dropped;
    a->mask &= ~g;

    const int end = table_->End();
    std::string copy = output_list_;
    for (int i = 1; i < end; ++i) {
        size_t idx = static_cast<size_t>(i);
        if (kept.test(idx)) {
            periods_[idx] = CommonPeriod(i);
            size_t at = DeleteOutputItem(&copy, ItemHead(i));
            if (at != std::string::npos) copy.insert(at, Item(i, periods_[idx]));
            a->accumulators[idx] = 0;
            a->periods[idx] = 0;
        } else if (dropped.test(idx)) {
            DeleteOutputItem(&copy, ItemHead(i));
            a->accumulators[idx] = 0;
            a->periods[idx] = 0;
        }
    }
    output_list_ = std::move(copy);
    return true;
}

}  // namespace orvana
