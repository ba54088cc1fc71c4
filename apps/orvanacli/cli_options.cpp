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

namespace {

bool IsConnectionOption(const std::string& name) {
    return name == "host" || name == "port" || name == "user" || name == "password" ||
           name == "timeout" || name == "encipher" || name == "json";
}

// Fills `o` from `args`; connection options only when `connection` allows them.
bool ParseWords(const std::vector<std::string>& args, bool connection, CliOptions* out,
                bool* port_given, std::string* error) {
    CliOptions& o = *out;
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
        if (!connection && IsConnectionOption(name)) {
            *error = a + " belongs on orvanacli's command line, before the shell";
            return false;
        }
        if (name == "encipher" || name == "lock" || name == "json") {
            (name == "encipher" ? o.encipher : name == "lock" ? o.lock : o.json) = true;
            continue;
        }
        if (i + 1 >= args.size()) {
            *error = "option " + a + " needs a value";
            return false;
        }
        const std::string& v = args[++i];
        bool ok = true;
        if (name == "host") {
            o.host = v;
            ok = !v.empty();
        } else if (name == "port") {
            ok = ParseNumber<uint16_t>(v, 65535, &o.port) && o.port != 0;
            *port_given = true;
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
            return false;
        }
        if (!ok) {
            *error = "bad value for " + a + ": \"" + v + "\"";
            return false;
        }
    }
    return true;
}

bool SplitShellWords(const std::string& line, std::vector<std::string>* words, std::string* error) {
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        if (i >= line.size()) break;
        std::string word;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
            const char c = line[i++];
            if (c != '\'' && c != '"') {
                word.push_back(c);
                continue;
            }
            bool closed = false;
            while (i < line.size()) {
                char d = line[i++];
                if (d == c) {
                    closed = true;
                    break;
                }
                if (c == '"' && d == '\\' && i < line.size() && (line[i] == '"' || line[i] == '\\'))
                    d = line[i++];
                word.push_back(d);
            }
            if (!closed) {
                *error = std::string("no closing ") + c;
                return false;
            }
        }
        words->push_back(std::move(word));
    }
    return true;
}

}  // namespace

std::optional<CliOptions> ParseCommandLine(const std::vector<std::string>& args,
                                           std::string* error) {
    CliOptions o;
    bool port_given = false;
    if (!ParseWords(args, true, &o, &port_given, error)) return std::nullopt;
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

std::optional<CliOptions> ParseShellLine(const std::string& line, const CliOptions& session,
                                         std::string* error) {
    error->clear();
    const size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line[first] == '#') return std::nullopt;
    std::vector<std::string> words;
    if (!SplitShellWords(line, &words, error)) return std::nullopt;
    CliOptions o;
    o.host = session.host;
    o.port = session.port;
    o.user = session.user;
    o.encipher = session.encipher;
    o.timeout_ms = session.timeout_ms;
    o.json = session.json;
    bool port_given = false;
    if (!ParseWords(words, false, &o, &port_given, error)) return std::nullopt;
    if (o.verb.empty()) {
        *error = "no verb given";
        return std::nullopt;
    }
    return o;
}

}  // namespace orvana::cli
