// Expressions (terms joined by "+"), conditions and the patterns they match, and the store
// read behind "$" and register.

#include <string>

#include "script/script_chars.h"
#include "script/script_interpreter.h"

namespace orvana::script {
namespace {

constexpr const char* kNoValue = "NOT VALUE!";
constexpr size_t kMaxCount = 65535;  // a count in a pattern cannot usefully exceed the text

}  // namespace

void ScriptInterpreter::AppendValue(std::string_view text) {
    if (!executing_) return;
    // The buffer keeps its last byte for the zero: a longer result is cut, never overrun.
    const size_t room = kValueBuffer - 1 - value_.size();
    value_.append(text.substr(0, room));
}

void ScriptInterpreter::Evaluate() {
    value_.clear();
    for (;;) {
        pos_ = SkipBlanks(pos_);
        if (At(pos_) == '"') {
            const size_t close = text_.find('"', pos_ + 1);
            if (close == std::string::npos) {
                state_ = kUndeclaredVariable;
                return;
            }
            AppendValue(std::string_view(text_).substr(pos_ + 1, close - pos_ - 1));
            pos_ = SkipBlanks(close + 1);
        } else {
            const std::string_view word = ReadWord();
            if (At(pos_) == '(') {
                const int index = LookUp(word);
                if (index < 0) {
                    state_ = kUndeclaredIdentifier;
                    return;
                }
                if (procedures_[index].position == 0) {
                    state_ = kUndeclaredVariable;
                    return;
                }
                CallProcedure(static_cast<uint8_t>(index));
                if (state_ != kRunning) return;
                value_.clear();
                AppendValue(reply_);
            } else {
                const Variable* v = FindVariable(word);
                if (v == nullptr) {
                    state_ = kUndeclaredVariable;
                    return;
                }
                AppendValue(v->value);
            }
        }
        if (At(pos_) != '+') return;
        Step();
    }
}

bool ScriptInterpreter::Condition(char end) {
    const std::string_view name = ReadWord();
    Variable* subject = FindVariable(name);
    if (subject == nullptr) {
        state_ = kUndeclaredVariable;
        return false;
    }
    bool equal;
    if (At(pos_) == '=' && At(pos_ + 1) == '=') {
        equal = true;
    } else if (At(pos_) == '!' && At(pos_ + 1) == '=') {
        equal = false;
    } else {
        state_ = kNoSeparator;
        return false;
    }
    pos_ += 2;
    Evaluate();
    if (state_ != kRunning) return false;
    const std::string pattern = value_;
    const size_t close = text_.find(end, pos_);
    if (close == std::string::npos) {
        state_ = kNoSeparator;
        return false;
    }
    pos_ = close + 1;
    // A copy: a capture may name the subject itself.
    const std::string value = subject->value;
    return Match(pattern, value, equal);
}

bool ScriptInterpreter::Match(std::string_view pattern, std::string_view subject, bool equal) {
    size_t cursor = 0;
    size_t i = 0;
    bool search = false;
    bool counted = false;
    size_t count = 0;
    Variable* pending = nullptr;

    while (i < pattern.size()) {
        const char c = pattern[i];
        if (IsBlank(c)) {
            ++i;
        } else if (c == '\'') {
            const size_t close = pattern.find('\'', i + 1);
            // Without its closing quote a literal runs to the end of the pattern.
            const size_t end = close == std::string_view::npos ? pattern.size() : close;
            const std::string_view literal = pattern.substr(i + 1, end - i - 1);
            i = close == std::string_view::npos ? pattern.size() : close + 1;
            if (!search) {
                const bool same = subject.substr(cursor, literal.size()) == literal;
                if (same != equal) return false;
                cursor = std::min(subject.size(), cursor + literal.size());
            } else {
                search = false;
                const size_t found = subject.find(literal, cursor);
                const bool present = found != std::string_view::npos;
                if (present != equal) return false;
                if (present) {
                    if (pending != nullptr) pending->Set(subject.substr(cursor, found - cursor));
                    pending = nullptr;
                    cursor = found + literal.size();
                }
            }
        } else if (c == '*') {
            search = true;
            ++i;
        } else if (IsDigit(c)) {
            count = 0;
            for (; i < pattern.size() && IsDigit(pattern[i]); ++i)
                count = std::min(kMaxCount, count * 10 + static_cast<size_t>(pattern[i] - '0'));
            counted = true;
        } else if (c == '?') {
            ++i;
            // Past the end of the subject it takes what is left.
            const size_t take = std::min(counted ? count : 1, subject.size() - cursor);
            if (pending != nullptr) pending->Set(subject.substr(cursor, take));
            pending = nullptr;
            cursor += take;
            counted = false;
        } else {
            const size_t begin = i++;
            while (i < pattern.size() && IsWordByte(pattern[i])) ++i;
            pending = FindVariable(pattern.substr(begin, i - begin));
            if (pending == nullptr) {
                state_ = kUndeclaredVariable;
                return false;
            }
        }
    }
    if (pending != nullptr) {
        const std::string_view rest = subject.substr(cursor);
        if (search && !rest.empty())
            pending->Set(rest);
        else if (counted && rest.size() >= count)
            pending->Set(rest.substr(0, count));
    }
    return true;
}

std::string ScriptInterpreter::RegistryRead(std::string_view path) {
    std::string_view key, name = path;
    size_t backslashes = 0;
    for (char c : path) backslashes += c == '\\';
    if (backslashes >= 2) {
        const size_t last = path.rfind('\\');
        key = path.substr(0, last);
        name = path.substr(last + 1);
    }
    std::string value = host_.ReadConfigText(key, name);
    return value.empty() ? std::string(kNoValue) : value;
}

}  // namespace orvana::script
