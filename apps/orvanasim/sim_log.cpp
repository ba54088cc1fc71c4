#include "apps/orvanasim/sim_log.h"

namespace orvana::sim {

std::string Escaped(std::string_view bytes) {
    std::string out;
    for (char ch : bytes) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c == '\r') {
            out += "<cr>";
        } else if (c == '\n') {
            out += "<lf>";
        } else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "<%02X>", c);
            out += hex;
        } else {
            out.push_back(ch);
        }
    }
    return out;
}

void Note(const std::string& text) {
    std::fprintf(stderr, "orvanasim: %s\n", text.c_str());
    std::fflush(stderr);
}

bool Transcript::Open(const std::string& path) {
    out_.open(path, std::ios::app | std::ios::binary);
    return out_.good();
}

void Transcript::Line(std::string_view line) {
    std::lock_guard<std::mutex> hold(lock_);
    if (!out_.is_open()) return;
    out_ << line << '\n';
    out_.flush();
}

}  // namespace orvana::sim
