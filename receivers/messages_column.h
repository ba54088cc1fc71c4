#pragma once
// The text that shows which messages an attachment receives, as the connection lists print it:
// "jps/RT:0.5,PO,nmea/GGA:5," (group prefix when it changes, name, period when one is set).

#include <string>

#include "receivers/message_table.h"
#include "receivers/output_setup.h"

namespace orvana {

std::string MessagesColumn(const MessageTable& table, const MessageSubscription& s);

}  // namespace orvana
