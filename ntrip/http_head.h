#pragma once
// The head of a request to the caster (NTRIP 1.0 and 2.0 over HTTP) and of a caster's answer to
// the server's own uploads: the first line, the header fields and where the body starts. Every
// byte comes from the network, so the parse is bounded: a head longer than kMaxHeadBytes, a
// line without its line end or with a control byte is refused.

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvana::ntrip {

inline constexpr size_t kMaxHeadBytes = 8192;
inline constexpr size_t kMaxHeaderFields = 64;

struct HttpHead {
    // Request: "GET /MOUNT HTTP/1.1" gives "GET", "/MOUNT", "HTTP/1.1"; the NTRIP 1.0 source
    // line "SOURCE password /MOUNT" gives "SOURCE", "/MOUNT", "" with `source_password` set.
    // Answer: "ICY 200 OK" or "HTTP/1.1 401 Unauthorized" gives the version in `method`, the
    // code in `target` and the reason in `version`.
    std::string method;
    std::string target;
    std::string version;
    std::string source_password;
    std::vector<std::pair<std::string, std::string>> fields;

    // The value of the first field of that name (any case), empty when there is none.
    std::string Field(std::string_view name) const;
    bool HasField(std::string_view name) const;
};

enum class HeadParse { kNeedMore, kDone, kBad };

// Parses the head at the start of `bytes`. kDone sets `head` and `head_bytes` (where the body
// starts). kNeedMore: no empty line yet, within the bound. kBad: not a head.
HeadParse ParseHttpHead(std::string_view bytes, HttpHead* head, size_t* head_bytes);

// The user and password of an "Authorization: Basic ..." value; false when it is not one.
bool ParseBasicAuthorization(std::string_view value, std::string* user, std::string* password);

std::string Base64Encode(std::string_view bytes);
// False on a character outside the alphabet or a bad length.
bool Base64Decode(std::string_view text, std::string* bytes);

}  // namespace orvana::ntrip
