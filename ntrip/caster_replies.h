#pragma once
// The caster's answers, in NTRIP 1.0 and NTRIP 2.0 form.

#include <string>
#include <string_view>

namespace orvana::ntrip {

inline constexpr const char* kServerName = "NTRIP OrvanaSrv/1.4";

// The stream follows.
std::string StreamStartReply(bool version2);
// An NTRIP 2.0 source may send its stream.
std::string SourceAcceptedReply();
// The sourcetable `table` as the whole answer.
std::string SourcetableReply(bool version2, std::string_view table);
std::string UnauthorizedReply(bool version2, std::string_view mount);
// Another failure: "400 Bad Request", "503 Service Unavailable".
std::string ErrorReply(bool version2, std::string_view status);
// One chunk of an NTRIP 2.0 stream (HTTP/1.1 chunked transfer).
std::string Chunk(std::string_view data);

}  // namespace orvana::ntrip
