#include "core/reg_file.h"

#include <cstdio>

#include "platform/hive.h"

namespace orvana {
namespace {

constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";

// Code page 1251 for the Cyrillic letters, the only non-ASCII texts the store holds.
int UnicodeToCp1251(uint32_t cp) {
    if (cp < 0x80) return static_cast<int>(cp);
    if (cp >= 0x410 && cp <= 0x44F) return static_cast<int>(cp - 0x410 + 0xC0);
    if (cp == 0x401) return 0xA8;
    if (cp == 0x451) return 0xB8;
    if (cp >= 0xA0 && cp <= 0xBF) return static_cast<int>(cp);  // close enough for symbols
    return '?';
}

// Brings UTF-16LE (with BOM) and UTF-8 (with BOM) input to single-byte text.
std::string ToSingleByte(std::string_view in) {
    if (in.size() >= 2 && static_cast<unsigned char>(in[0]) == 0xFF &&
        static_cast<unsigned char>(in[1]) == 0xFE) {
        std::string out;
        for (size_t i = 2; i + 1 < in.size(); i += 2) {
            uint32_t unit = static_cast<unsigned char>(in[i]) |
                            (static_cast<uint32_t>(static_cast<unsigned char>(in[i + 1])) << 8);
            out.push_back(static_cast<char>(UnicodeToCp1251(unit)));
        }
        return out;
    }
    if (in.size() >= 3 && in.substr(0, 3) == "\xEF\xBB\xBF") {
        std::string out;
        std::string_view s = in.substr(3);
        for (size_t i = 0; i < s.size();) {
            auto b = static_cast<unsigned char>(s[i]);
            uint32_t cp = b;
            size_t len = 1;
            if (b >= 0xC0 && b < 0xE0 && i + 1 < s.size()) {
                cp = ((b & 0x1Fu) << 6) | (static_cast<unsigned char>(s[i + 1]) & 0x3Fu);
                len = 2;
            } else if (b >= 0xE0 && b < 0xF0 && i + 2 < s.size()) {
                cp = ((b & 0x0Fu) << 12) | ((static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 6) |
                     (static_cast<unsigned char>(s[i + 2]) & 0x3Fu);
                len = 3;
            } else if (b >= 0x80) {
                cp = '?';
            }
            out.push_back(static_cast<char>(UnicodeToCp1251(cp)));
            i += len;
        }
        return out;
    }
    return std::string(in);
}

std::vector<std::string_view> Lines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t i = 0;
    while (i < text.size()) {
        size_t j = text.find('\n', i);
        if (j == std::string_view::npos) j = text.size();
        std::string_view line = text.substr(i, j - i);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        i = j + 1;
    }
    return lines;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
        if (x != y) return false;
    }
    return true;
}

// Reads a quoted string starting at s[*pos] == '"'. Leaves *pos after the closing quote.
bool ReadQuoted(std::string_view s, size_t* pos, std::string* out) {
    if (*pos >= s.size() || s[*pos] != '"') return false;
    out->clear();
    for (size_t i = *pos + 1; i < s.size(); ++i) {
        char c = s[i];
        if (c == '\\') {
            if (i + 1 >= s.size()) return false;
            out->push_back(s[++i]);
        } else if (c == '"') {
            *pos = i + 1;
            return true;
        } else {
            out->push_back(c);
        }
    }
    return false;
}

bool ParseHexDword(std::string_view s, uint32_t* out) {
    if (s.empty() || s.size() > 8) return false;
    uint32_t v = 0;
    for (char c : s) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        v = (v << 4) | static_cast<uint32_t>(d);
    }
    *out = v;
    return true;
}

// "HKEY_LOCAL_MACHINE\a\b" -> "a\b"; false for another hive.
bool HivePath(std::string_view full, std::string* out) {
    std::string_view prefix = kRegHivePrefix;
    if (full.size() < prefix.size() || !EqualsNoCase(full.substr(0, prefix.size()), prefix))
        return false;
    std::string_view rest = full.substr(prefix.size());
    if (!rest.empty() && rest.front() != '\\') return false;
    while (!rest.empty() && rest.front() == '\\') rest.remove_prefix(1);
    while (!rest.empty() && rest.back() == '\\') rest.remove_suffix(1);
    *out = std::string(rest);
    return true;
}

std::string Quote(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

void ExportKey(platform::Hive& hive, const std::string& key, std::string* out) {
    std::string stored = hive.StoredPath(key).value_or(key);
    *out += "[" + std::string(kRegHivePrefix) + (stored.empty() ? "" : "\\") + stored + "]\r\n";
    for (const auto& v : hive.Values(key)) {
        *out += v.name.empty() ? std::string("@") : Quote(v.name);
        if (v.value.type == platform::HiveValue::Type::Number) {
            char buf[32];
            std::snprintf(buf, sizeof buf, "=dword:%08x\r\n", v.value.number);
            *out += buf;
        } else {
            *out += "=" + Quote(v.value.text) + "\r\n";
        }
    }
    *out += "\r\n";
    for (const auto& sub : hive.SubKeys(key))
        ExportKey(hive, stored.empty() ? sub : stored + "\\" + sub, out);
}

}  // namespace

RegParseResult ParseRegFile(std::string_view content) {
    RegParseResult result;
    std::string text = ToSingleByte(content);
    auto lines = Lines(text);
    auto fail = [&](int line, const std::string& why) {
        result.ok = false;
        result.operations.clear();
        result.error_line = line;
        result.error = "line " + std::to_string(line) + ": " + why;
        return result;
    };
    size_t first = 0;
    while (first < lines.size() && Trim(lines[first]).empty()) ++first;
    if (first == lines.size()) return fail(1, "missing header \"REGEDIT4\"");
    std::string_view header = Trim(lines[first]);
    if (header != kHeader4 && header != kHeader5)
        return fail(static_cast<int>(first + 1), "not a registry file (bad header)");

    bool have_key = false;
    bool key_deleted = false;
    std::string current;
    for (size_t i = first + 1; i < lines.size(); ++i) {
        int n = static_cast<int>(i + 1);
        std::string_view line = Trim(lines[i]);
        if (line.empty() || line.front() == ';') continue;
        if (line.front() == '[') {
            if (line.back() != ']') return fail(n, "key line without closing ']'");
            std::string_view inner = line.substr(1, line.size() - 2);
            bool del = !inner.empty() && inner.front() == '-';
            if (del) inner.remove_prefix(1);
            std::string path;
            if (!HivePath(inner, &path)) return fail(n, "key outside HKEY_LOCAL_MACHINE");
            RegOperation op;
            op.kind = del ? RegOperation::Kind::DeleteKey : RegOperation::Kind::CreateKey;
            op.key = path;
            if (del && path.empty()) return fail(n, "cannot delete the whole hive");
            result.operations.push_back(op);
            current = path;
            have_key = true;
            key_deleted = del;
            continue;
        }
        if (!have_key) return fail(n, "value before any key");
        if (key_deleted) return fail(n, "value under a deleted key");
        RegOperation op;
        op.key = current;
        size_t pos = 0;
        if (line.front() == '@') {
            pos = 1;
        } else if (!ReadQuoted(line, &pos, &op.name)) {
            return fail(n, "value name must be quoted");
        }
        std::string_view rest = Trim(line.substr(pos));
        if (rest.empty() || rest.front() != '=')
            return fail(n, "expected '=' after the value name");
        rest = Trim(rest.substr(1));
        if (rest == "-") {
            op.kind = RegOperation::Kind::DeleteValue;
        } else if (!rest.empty() && rest.front() == '"') {
            size_t p = 0;
            if (!ReadQuoted(rest, &p, &op.text)) return fail(n, "unterminated text value");
            if (!Trim(rest.substr(p)).empty()) return fail(n, "characters after the text value");
            op.kind = RegOperation::Kind::SetText;
        } else if (rest.size() > 6 && EqualsNoCase(rest.substr(0, 6), "dword:")) {
            if (!ParseHexDword(Trim(rest.substr(6)), &op.number))
                return fail(n, "bad dword value (expected 1 to 8 hexadecimal digits)");
            op.kind = RegOperation::Kind::SetNumber;
        } else {
            return fail(n, "unsupported value type (only text and dword values are kept)");
        }
        result.operations.push_back(std::move(op));
    }
    result.ok = true;
    return result;
}

bool ApplyRegOperations(platform::Hive& hive, const std::vector<RegOperation>& operations) {
    return hive.Transaction([&] {
        for (const auto& op : operations) {
            bool ok = true;
            switch (op.kind) {
                case RegOperation::Kind::CreateKey:
                    ok = hive.CreateKey(op.key);
                    break;
                case RegOperation::Kind::DeleteKey:
                    hive.DeleteKey(op.key);  // deleting a missing key is not an error
                    break;
                case RegOperation::Kind::SetText:
                    ok = hive.SetText(op.key, op.name, op.text);
                    break;
                case RegOperation::Kind::SetNumber:
                    ok = hive.SetNumber(op.key, op.name, op.number);
                    break;
                case RegOperation::Kind::DeleteValue:
                    hive.DeleteValue(op.key, op.name);
                    break;
            }
            if (!ok) return false;
        }
        return true;
    });
}

std::string ExportRegFile(platform::Hive& hive, std::string_view key) {
    std::string path(key);
    while (!path.empty() && path.back() == '\\') path.pop_back();
    while (!path.empty() && path.front() == '\\') path.erase(0, 1);
    if (!path.empty() && !hive.KeyExists(path)) return {};
    std::string out = std::string(kHeader4) + "\r\n\r\n";
    if (path.empty()) {
        // The hive itself has no values: its top-level keys stand alone.
        for (const auto& sub : hive.SubKeys("")) ExportKey(hive, sub, &out);
    } else {
        ExportKey(hive, path, &out);
    }
    return out;
}

}  // namespace orvana
