#pragma once
// The Attach and Detach requests: a client's choice of messages from a receiver's data stream.
// Each stops the receiver's whole output, changes the output setup and sends the complete list
// again, so every client of the receiver sees a short gap.
//
// Arguments: the group code as one hex digit (0 "jps/", 1 "cmr/", 2 "nmea/", 3 "rtcm/", and 4
// all groups for Detach); for Attach one separator and the message list ("0,RT:0.5,PO").

#include <cstdint>
#include <string_view>

namespace orvana {

class Server;
class ClientSession;

unsigned Attach(Server& server, std::string_view args, ClientSession& session, uint8_t handle);
unsigned Detach(Server& server, std::string_view args, ClientSession& session, uint8_t handle);

}  // namespace orvana
