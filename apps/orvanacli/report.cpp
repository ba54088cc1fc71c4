#include "apps/orvanacli/report.h"

namespace orvana::cli {
namespace {
std::FILE* g_reports = nullptr;  // null: standard output
bool g_json = false;

void Line(std::FILE* to, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), to);
    std::fputc('\n', to);
    std::fflush(to);
}
}  // namespace

std::FILE* Reports() {
    return g_reports != nullptr ? g_reports : stdout;
}

void ReportOnStderr() {
    g_reports = stderr;
}

void ReportInJson() {
    g_json = true;
}

bool InJson() {
    return g_json;
}

std::string JsonQuoted(std::string_view text) {
    std::string out = "\"";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c >= 0x7F) {
            char code[8];
            std::snprintf(code, sizeof code, "\\u%04x", c);
            out += code;
        } else {
            out += ch;
        }
    }
    out += '"';
    return out;
}

void Report(const std::string& plain, const std::string& json) {
    Line(Reports(), g_json ? json : plain);
}

int PrintReply(const ServerFrame& reply) {
    const bool ok = reply.Succeeded();
    Report(reply.data, "{\"kind\":\"reply\",\"ok\":" + std::string(ok ? "true" : "false") +
                           ",\"code\":" + std::to_string(reply.code) +
                           ",\"handle\":" + std::to_string(reply.handle) +
                           ",\"text\":" + JsonQuoted(reply.data) + "}");
    return ok ? kExitOk : kExitRefused;
}

void PrintEvent(const ServerFrame& f) {
    char plain[32];
    std::snprintf(plain, sizeof plain, "notice 0x%03x: ", static_cast<unsigned>(f.type));
    Report(plain + f.data, "{\"kind\":\"event\",\"type\":" + std::to_string(f.type) +
                               ",\"handle\":" + std::to_string(f.handle) +
                               ",\"text\":" + JsonQuoted(f.data) + "}");
}

void PrintDataFrame(const ServerFrame& f) {
    char plain[64];
    std::snprintf(plain, sizeof plain, "type 0x%03x length %zu", static_cast<unsigned>(f.type),
                  f.data.size());
    Report(plain, "{\"kind\":\"data\",\"type\":" + std::to_string(f.type) +
                      ",\"handle\":" + std::to_string(f.handle) +
                      ",\"length\":" + std::to_string(f.data.size()) + "}");
}

int Complain(const std::string& text) {
    Line(stderr,
         g_json ? "{\"kind\":\"error\",\"text\":" + JsonQuoted(text) + "}" : "orvanacli: " + text);
    return kExitFailure;
}

}  // namespace orvana::cli
