#pragma once
// The checks a client's command passes before it reaches a shared receiver. They look at the
// text as the receiver takes it: the receiver reads commands in either case and a command
// script's lines go out in lower case, so case is ignored, and every line of the text counts.

#include <string_view>

namespace orvana {

// A tagged set, init, em or dm command: only a super user may change settings or output.
// Untagged set commands pass this guard.
bool NeedsSuperUser(std::string_view command);

// True when a line of the command, tagged or not, would change the rate, flow control or
// output of the port the server talks through (`terminal` is the receiver's name for it; a port
// named by "cur/term" or left empty is that port as well).
bool IsBlockedCommand(std::string_view command, std::string_view terminal);

// "init,/dev/nvm/" together with "set,/par/reset,yes": the receiver forgets its whole set-up.
bool IsFullReset(std::string_view command);

}  // namespace orvana
