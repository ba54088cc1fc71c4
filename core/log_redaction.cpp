#include "core/log_redaction.h"

namespace orvana {
namespace {

// `text` with the bytes [from, to) replaced, when there are any.
std::string Replaced(std::string_view text, size_t from, size_t to) {
    std::string out(text);
    if (from < to && to <= text.size()) out.replace(from, to - from, kRedacted);
    return out;
}

// Start and end of the `n`th (from 0) blank-separated word, or npos.
std::pair<size_t, size_t> Word(std::string_view text, size_t n) {
    size_t at = 0;
    for (size_t i = 0;; ++i) {
        at = text.find_first_not_of(' ', at);
        if (at == std::string_view::npos) return {at, at};
        const size_t end = std::min(text.find(' ', at), text.size());
        if (i == n) return {at, end};
        at = end;
    }
}

// Start and end of the text between the `n`th and the next '/' (n from 1), or npos.
std::pair<size_t, size_t> Field(std::string_view text, size_t from, size_t n) {
    size_t at = from;
    for (size_t i = 0; i < n; ++i) {
        at = text.find('/', at);
        if (at == std::string_view::npos) return {at, at};
        ++at;
    }
    return {at, std::min(text.find('/', at), text.size())};
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

std::string RedactRequest(std::string_view text) {
    if (StartsWith(text, "OpenUsr ")) {
        const auto [from, to] = Word(text, 2);
        return Replaced(text, from, to);
    }
    if (StartsWith(text, "Set Usr")) {
        // "name/" "e" "access/" "password/" "count/": the password follows the second slash.
        const auto [from, to] = Field(text, 0, 2);
        return Replaced(text, from, to);
    }
    return std::string(text);
}

std::string RedactReply(std::string_view request, std::string_view reply) {
    const bool user = StartsWith(request, "Get Usr ") && Word(request, 2).first != request.npos;
    const bool tcp_receiver = StartsWith(request, "Get Rcv ") && StartsWith(reply, "RE:TC");
    if (!user && !tcp_receiver) return std::string(reply);
    const auto [from, to] = Field(reply, 0, 1);
    return Replaced(reply, from, to);
}

}  // namespace orvana
