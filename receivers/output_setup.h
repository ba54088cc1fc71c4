#pragma once
// What one receiver must output for the clients attached to its stream: which client wants which
// messages at which period, the receiver's own period per message, and the output list text
// that goes to the receiver in "em" commands ("jps/RT:{1.0,0,-8},").
//
// Not thread-safe by itself. REQUIRES: add and remove run under the receiver table lock and the
// receiver's attachment lock; the delivery loop reads the slots under the attachment lock.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "receivers/message_table.h"

namespace orvana {

inline constexpr int kOutputSlots = 128;
inline constexpr size_t kMaxOutputList = 4099;  // 4100 bytes with the terminating zero

// The per-attachment part of message output; an attachment of a client to a receiver's stream
// carries one (Attachment derives from it).
struct MessageSubscription {
    MessageMask mask;
    std::array<uint16_t, kMessageTableSize> periods{};       // requested, tenths of a second
    std::array<uint16_t, kMessageTableSize> accumulators{};  // tenths since the last delivery
};

class OutputSetup {
  public:
    explicit OutputSetup(const MessageTable& table) : table_(&table) {}

    // `request` is the group digit, one separator and the items ("0,RT:0.5,PO"). False with
    // ErrorText() set when a name is unknown (the slot is emptied), no slot is free, or the
    // list would pass its size (nothing changes).
    bool AddMessages(MessageSubscription* a, std::string_view request);
    // Group 0 to 3, or 4 for everything (also frees a's slot).
    bool RemoveGroup(MessageSubscription* a, int group);
    uint16_t CommonPeriod(int index) const;

    const std::string& OutputList() const { return output_list_; }
    const std::string& ErrorText() const { return error_; }
    const MessageMask& UnionMask() const { return union_mask_; }
    uint16_t Period(int index) const { return periods_[static_cast<size_t>(index & 0xFF)]; }
    MessageSubscription* Slot(int i) const { return slots_[static_cast<size_t>(i)]; }
    // a's slot, or -1.
    int SlotOf(const MessageSubscription* a) const;

  private:
    std::string Item(int index, uint16_t period) const;
    std::string ItemHead(int index) const;  // prefix, name and ":{"

    const MessageTable* table_;
    std::string error_;
    std::string output_list_;
    MessageMask union_mask_;
    std::array<MessageSubscription*, kOutputSlots> slots_{};
    std::array<uint16_t, kMessageTableSize> periods_{};
};

// Deletes the item that starts with `head` through its "}" and the character after it.
// Returns the position it stood at, or npos when there is none.
size_t DeleteOutputItem(std::string* list, const std::string& head);

}  // namespace orvana
