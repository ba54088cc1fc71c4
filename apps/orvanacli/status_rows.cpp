#include "apps/orvanacli/status_rows.h"

#include <charconv>

namespace orvana::cli {
namespace {

std::string_view Body(std::string_view reply) {
    return reply.substr(0, 3) == "RE:" ? reply.substr(3) : std::string_view{};
}

// Calls `each` for every line of `text`.
template <typename Each>
void Lines(std::string_view text, Each each) {
    while (!text.empty()) {
        const size_t end = text.find('\n');
        each(text.substr(0, end));
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
}

bool TakeField(std::string_view* line, std::string* field) {
    const size_t slash = line->find('/');
    if (slash == std::string_view::npos) return false;
    field->assign(line->substr(0, slash));
    line->remove_prefix(slash + 1);
    return true;
}

}  // namespace

std::vector<ConnectionRow> ParseConnectionRows(std::string_view reply) {
    std::vector<ConnectionRow> rows;
    Lines(Body(reply), [&](std::string_view line) {
        ConnectionRow r;
        std::string day, sent;
        // The open time "dd/mm  hh:mm:ss" holds a slash of its own.
        if (!TakeField(&line, &day) || !TakeField(&line, &r.since) || !TakeField(&line, &sent) ||
            !TakeField(&line, &r.receiver) || !TakeField(&line, &r.user) ||
            !TakeField(&line, &r.task) || !TakeField(&line, &r.address) ||
            !TakeField(&line, &r.interface_text) || line.empty() || line.back() != '/')
            return;
        line.remove_suffix(1);
        r.since = day + "/" + r.since;
        r.messages.assign(line);
        auto [end, ec] = std::from_chars(sent.data(), sent.data() + sent.size(), r.sent);
        if (ec != std::errc() || end != sent.data() + sent.size()) return;
        rows.push_back(std::move(r));
    });
    return rows;
}

std::vector<ReceiverRow> ParseReceiverRows(std::string_view reply) {
    std::vector<ReceiverRow> rows;
    Lines(Body(reply), [&](std::string_view line) {
        if (line.size() < 3 || line[line.size() - 2] != '/') return;
        const char flag = line.back();
        if (flag != 'e' && flag != 'd') return;
        rows.push_back({std::string(line.substr(0, line.size() - 2)), flag == 'e'});
    });
    return rows;
}

}  // namespace orvana::cli
