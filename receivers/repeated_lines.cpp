#include "receivers/repeated_lines.h"

namespace orvana {

bool RepeatedLines::Admit(const std::string& kind, uint32_t now, std::string* summary) {
    summary->clear();
    auto [it, fresh] = kinds_.try_emplace(kind);
    Count& c = it->second;
    if (!fresh && now - c.window_start < kWindowMs) {
        ++c.held_back;
        return false;
    }
    if (c.held_back > 0) *summary = Summary(kind, c.held_back);
    c.window_start = now;
    c.held_back = 0;
    return true;
}

std::vector<std::string> RepeatedLines::Flush() {
    std::vector<std::string> out;
    for (auto& [kind, c] : kinds_) {
        if (c.held_back > 0) out.push_back(Summary(kind, c.held_back));
        c.held_back = 0;
    }
    return out;
}

std::string RepeatedLines::Summary(const std::string& kind, uint32_t held_back) {
    std::string text = kind;
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text + "... repeated " + std::to_string(held_back) + " times";
}

}  // namespace orvana
