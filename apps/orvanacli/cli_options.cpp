#include "apps/orvanacli/cli_options.h"

#include <charconv>
#include <cstdlib>

namespace orvana::cli {
namespace {

template <typename T>
bool ParseNumber(const std::string& text, T max, T* out) {
    T v{};
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || v > max) return false;
    *out = v;
    return true;
}

bool ParseSeconds(const std::string& text, double* out) {
    if (text.empty()) return false;
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !(v >= 0) || v > 1e7) return false;
    *out = v;
    return true;
}

}  // namespace

std::string JoinWords(const std::vector<std::string>& words, size_t from) {
    std::string text;
    for (size_t i = from; i < words.size(); ++i) {
        if (i > from) text.push_back(' ');
        text += words[i];
    }
    return text;
}

std::optional<CliOptions> ParseCommandLine(const std::vector<std::string>& args,
                                           std::string* error) {
    CliOptions o;
    bool port_given = false;
    bool options_end = false;  // after "--" every word is a verb word
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool is_short_out = !options_end && a == "-o";
        const bool is_option =
            is_short_out || (!options_end && a.size() > 2 && a.compare(0, 2, "--") == 0);
        if (!options_end && a == "--") {
            options_end = true;
            continue;
        }
        if (!is_option) {
            if (o.verb.empty())
                o.verb = a;
            else
                o.words.push_back(a);
            continue;
        }
        const std::string name = is_short_out ? "out" : a.substr(2);
        if (name == "encipher") {
            o.encipher = true;
            continue;
        }
        if (name == "lock") {
            o.lock = true;
            continue;
        }
        if (i + 1 >= args.size()) {
            *error = "option " + a + " needs a value";
            return std::nullopt;
        }
        const std::string& v = args[++i];
        bool ok = true;
        if (name == "host") {
            o.host = v;
            ok = !v.empty();
        } else if (name == "port") {
            ok = ParseNumber<uint16_t>(v, 65535, &o.port) && o.port != 0;
            port_given = true;
        } else if (name == "user") {
            o.user = v;
            ok = !v.empty() && v.find(' ') == std::string::npos;
        } else if (name == "password") {
            o.password = v;
            o.password_given = true;
            ok = v.find(' ') == std::string::npos;
        } else if (name == "timeout") {
            unsigned seconds = 0;
            ok = ParseNumber<unsigned>(v, 3600, &seconds) && seconds > 0;
            o.timeout_ms = seconds * 1000u;
        } else if (name == "seconds") {
            double s = 0;
            ok = ParseSeconds(v, &s);
            o.seconds = s;
        } else if (name == "out") {
            o.out = v;
            ok = !v.empty();
        } else if (name == "as") {
            o.as = v;
            ok = !v.empty();
        } else if (name == "offset") {
            uint64_t n = 0;
            ok = ParseNumber<uint64_t>(v, 0xFFFFFFFFu, &n);
            o.offset = n;
        } else if (name == "handle") {
            unsigned h = 0;
            ok = ParseNumber<unsigned>(v, 255, &h);
            o.handle = h;
        } else {
            *error = "unknown option " + a;
            return std::nullopt;
        }
        if (!ok) {
            *error = "bad value for " + a + ": \"" + v + "\"";
            return std::nullopt;
        }
    }
    if (o.verb.empty()) {
        *error = "no verb given";
        return std::nullopt;
    }
    if (!port_given) {
        *error = "--port is required";
        return std::nullopt;
    }
    if (o.user.empty()) {
        *error = "--user is required";
        return std::nullopt;
    }
    return o;
}

}  // namespace orvana::cli
