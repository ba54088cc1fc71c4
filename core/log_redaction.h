#pragma once
// Request and reply texts as the event log keeps them: the passwords in them replaced by "***",
// everything else as it stands. The log is read by more people than the users' store.

#include <string>
#include <string_view>

namespace orvana {

inline constexpr std::string_view kRedacted = "***";

// "OpenUsr U P task" and "Set Usr U/e/access/P/n/" with P replaced.
std::string RedactRequest(std::string_view text);
// The replies to "Get Usr U" and "Get Rcv R" of a TCP receiver, whose second field is a password.
std::string RedactReply(std::string_view request, std::string_view reply);

}  // namespace orvana
