#pragma once
// The receiver's message output: the items of "em" lists and the data containers sent for them.
//
// List grammar (after "em,PORT,"): items separated by "," outside braces; an item is
// GROUP/NAME optionally followed by ":" and either a period in seconds or "{PERIOD,X,-N}", where
// N is the message index + 1 that goes into the containers' index byte. Without "-N" the
// receiver's own index of the name is used; without a period 1 s.
//
// Container: ">>", three hex digits L, the index byte, L - 3 payload bytes, two hex digits of
// checksum over everything before them. Payload layout (ASCII, fixed positions):
//   bytes 0-9    this message's sequence number, decimal, zero-padded, starting at 1
//   byte  10     blank
//   bytes 11-20  sequence number over all containers of this connection, same format
//   byte  21     blank
//   bytes 22..   the message name with its group prefix ("jps/RT")
//   with --stamp a blank, "T" and the send time in steady-clock microseconds, 16 digits
//   then "." up to the payload size asked for with --payload-size.
// A gap in a message's sequence numbers is a lost container.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "apps/orvanasim/message_names.h"

namespace orvana::sim {

struct OutputItem {
    std::string name;           // "jps/RT"
    uint8_t index = 0;          // the containers' index byte
    uint32_t period_ms = 1000;  // already divided by the time scale
    uint32_t sequence = 0;      // containers sent so far
    uint32_t next_due = 0;      // tick of the next container
};

class OutputSchedule {
  public:
    // Adds (or replaces, by name) the items of `list`. On a bad item nothing changes.
    bool Enable(std::string_view list, const MessageNames& names, double time_scale, uint32_t now,
                std::string* error);
    // Removes the named items ("jps/RT,nmea/GGA"); an empty list removes everything.
    void Disable(std::string_view list);
    bool Empty() const { return items_.empty(); }
    const std::vector<OutputItem>& items() const { return items_; }

    // Milliseconds until the next container is due (0 when one is due now), or `cap`.
    uint32_t MsUntilDue(uint32_t now, uint32_t cap) const;
    // Appends the containers due at `now`, in item order. With `flood` every item is due.
    void TakeDue(uint32_t now, bool flood, std::vector<OutputItem*>* due);

  private:
    std::vector<OutputItem> items_;
};

// The items of a list, split at commas outside braces; empty pieces are skipped.
std::vector<std::string> SplitListItems(std::string_view list);

// `stamp_us` < 0: no send time.
std::string ContainerPayload(uint32_t message_sequence, uint32_t stream_sequence,
                             const std::string& name, size_t min_size, int64_t stamp_us = -1);
// A whole container; with `corrupt` its checksum is deliberately wrong.
std::string BuildContainer(uint8_t index, std::string_view payload, bool corrupt = false);

}  // namespace orvana::sim
