// The statements and procedure calls. "Only while executing" statements read their syntax
// always and act only when the executing flag is set, so skipped code keeps its nesting.

#include <string>

#include "script/script_interpreter.h"

namespace orvana::script {
namespace {

constexpr const char* kOutputOverflow = "ER:Output overflow";

// The decimal number at the start of `text` (leading blanks and a sign allowed); 0 when there
// is none, and negative counts as 0 rather than a very long sleep.
uint32_t Milliseconds(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    uint64_t n = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        n = n * 10 + static_cast<unsigned>(text[i] - '0');
        if (n > UINT32_MAX) n = UINT32_MAX;
    }
    return negative ? 0 : static_cast<uint32_t>(n);
}

}  // namespace

void ScriptInterpreter::Assignment(std::string_view target_name) {
    Variable* target = nullptr;
    if (executing_) {
        target = FindVariable(target_name);
        if (target == nullptr) {
            state_ = kUndeclaredVariable;
            return;
        }
    }
    Step();  // "="
    pos_ = SkipBlanks(pos_);
    if (At(pos_) == '$') {
        Step();
        const std::string_view name = ReadWord();
        if (executing_) {
            Variable* path = FindVariable(name);
            if (path == nullptr) {
                state_ = kUndeclaredVariable;
                return;
            }
            value_.clear();
            AppendValue(RegistryRead(path->value));
        }
    } else {
        Evaluate();
        if (state_ != kRunning) return;
    }
    if (executing_ && target != nullptr) target->Set(value_);
}

void ScriptInterpreter::If() {
    if (!PushFrame(Frame('i', executing_))) return;
    Step();  // "("
    if (executing_) {
        executing_ = Condition(')');
        return;
    }
    const size_t close = text_.find(')', pos_);
    if (close == std::string::npos) {
        state_ = kNoSeparator;
        return;
    }
    pos_ = close + 1;
}

void ScriptInterpreter::Else() {
    if (Innermost() != 'i') {
        state_ = kNoIf;
        return;
    }
    executing_ = !executing_ && frames_.back().executing;
}

void ScriptInterpreter::Endif() {
    if (Innermost() != 'i') {
        state_ = kNoIf;
        return;
    }
    executing_ = frames_.back().executing;
    PopFrame();
}

void ScriptInterpreter::Do() {
    Frame frame('d', executing_);
    frame.loop_start = pos_;
    PushFrame(std::move(frame));
}

void ScriptInterpreter::Enddo() {
    if (Innermost() != 'd') {
        state_ = kNoDo;
        return;
    }
    if (executing_)
        pos_ = frames_.back().loop_start;
    else
        PopFrame();
}

void ScriptInterpreter::Switch() {
    if (!PushFrame(Frame('s', executing_))) return;
    searching_ = executing_;
    executing_ = false;
}

void ScriptInterpreter::Case() {
    if (Innermost() != 's') {
        state_ = kNoSwitch;
        return;
    }
    if (searching_) {
        // The case's own pattern has to be read even though the switch runs nothing yet.
        executing_ = true;
        const bool holds = Condition(':');
        executing_ = holds;
        if (holds) searching_ = false;
        return;
    }
    const size_t colon = text_.find(':', pos_);
    if (colon == std::string::npos) {
        state_ = kNoSeparator;
        return;
    }
    pos_ = colon + 1;
    executing_ = false;
}

void ScriptInterpreter::Default() {
    if (Innermost() != 's') {
        state_ = kNoSwitch;
        return;
    }
    Step();  // ":"
    if (searching_) {
        searching_ = false;
        executing_ = true;
    }
}

void ScriptInterpreter::Endswitch() {
    if (Innermost() != 's') {
        state_ = kNoSwitch;
        return;
    }
    executing_ = searching_ = frames_.back().executing;
    PopFrame();
}

void ScriptInterpreter::Continue() {
    if (!executing_) return;
    while (Innermost() != 'd' && Innermost() != 'p')
        if (!PopFrame()) return;
    if (Innermost() == 'p') {
        state_ = kNoDo;
        return;
    }
    pos_ = frames_.back().loop_start;
}

void ScriptInterpreter::Break() {
    if (!executing_) return;
    while (Innermost() != 'd' && Innermost() != 's' && Innermost() != 'p')
        if (!PopFrame()) return;
    if (Innermost() == 'p') {
        state_ = kNoSwitch;
        return;
    }
    const std::string_view closer = Innermost() == 's' ? "endswitch" : "enddo";
    const size_t at = text_.find(closer, pos_);
    if (at == std::string::npos) {
        state_ = kNoEnddo;
        return;
    }
    pos_ = at + closer.size();
    PopFrame();
}

void ScriptInterpreter::Return() {
    if (!executing_) return;
    while (Innermost() != 'p')
        if (!PopFrame()) return;
    Endproc();
}

void ScriptInterpreter::Endproc() {
    if (frames_.empty()) {
        state_ = kEnded;
        return;
    }
    if (Innermost() != 'p') {
        state_ = kNoEndproc;
        return;
    }
    Frame& call = frames_.back();
    private_ = std::move(call.caller_table);
    pos_ = call.return_point;
    current_procedure_ = call.caller_procedure;
    executing_ = call.executing;
    PopFrame();
}

void ScriptInterpreter::Rem() {
    // A comment ends with its own line, also when "rem" stands alone on it.
    const size_t eol = text_.find('\n', word_begin_ + word_length_);
    if (eol == std::string::npos) {
        state_ = kUndeclaredIdentifier;
        return;
    }
    pos_ = eol + 1;
}

void ScriptInterpreter::Private() {
    const std::string_view name = ReadWord();
    if (private_->Declare(name) == nullptr) state_ = kRedefinition;
}

void ScriptInterpreter::Log() {
    Evaluate();
    if (state_ == kRunning && executing_) host_.LogPlain(value_);
}

void ScriptInterpreter::Out() {
    Evaluate();
    if (state_ != kRunning || !executing_) return;
    if (output_.size() + value_.size() < kOutputBuffer)
        output_ += value_;
    else
        host_.LogStamped(kOutputOverflow);
}

void ScriptInterpreter::Register() {
    Step();
    const std::string_view name = ReadWord();
    if (!executing_) return;
    Variable* path = FindVariable(name);
    if (path == nullptr) {
        state_ = kUndeclaredVariable;
        return;
    }
    value_.clear();
    AppendValue(RegistryRead(path->value));
}

void ScriptInterpreter::CallProcedure(uint8_t index) {
    const size_t close = text_.find(')', pos_);
    if (close == std::string::npos) {
        state_ = kUndeclaredIdentifier;
        return;
    }
    if (!executing_) {
        pos_ = close + 1;
        return;
    }
    value_.clear();
    if (procedures_[index].position < 0)
        CallBuiltIn(index);
    else
        CallUser(index, close + 1);
}

void ScriptInterpreter::CallBuiltIn(uint8_t index) {
    // Each nested call in an argument nests the native stack too.
    if (call_nesting_ >= kMaxCallNesting) {
        state_ = kStackFull;
        return;
    }
    ++call_nesting_;
    Step();  // "("
    Evaluate();
    if (state_ == kRunning) {
        if (index == kSleep) {
            if (!host_.Sleep(Milliseconds(value_))) state_ = kInterrupted;
        } else {
            reply_ = host_.Request(value_);
        }
    }
    --call_nesting_;
    if (state_ != kRunning) return;
    if (At(pos_) == ')') {
        Step();
    } else {
        state_ = kUndeclaredIdentifier;
        Step();
    }
}

void ScriptInterpreter::CallUser(uint8_t index, size_t return_point) {
    const size_t frame_index = frames_.size();
    Frame call('p', executing_);
    call.return_point = return_point;
    call.caller_procedure = current_procedure_;
    if (!PushFrame(std::move(call))) return;
    auto table = std::make_unique<VariableTable>();
    size_t formal = static_cast<size_t>(procedures_[index].position) + 1;
    bool any_formal = false;
    while (At(SkipBlanks(formal)) != ')') {
        // One argument per formal: a call that runs out of them lacks its separator.
        const char separator = At(pos_);
        if (formal >= text_.size() || (separator != '(' && separator != ',')) {
            state_ = kNoSeparator;
            return;
        }
        Step();
        Evaluate();
        if (state_ != kRunning) return;
        const std::string_view name = ReadWordAt(formal);
        if (name.empty()) {
            state_ = kUndeclaredIdentifier;
            return;
        }
        Variable* v = table->Declare(name);
        if (v == nullptr) {
            state_ = kRedefinition;
            return;
        }
        v->Set(value_);
        any_formal = true;
        if (At(formal) == ',') ++formal;
    }
    // Surplus arguments, or an argument that itself started a procedure, leave the call
    // without its closing ")".
    const bool closed =
        any_formal ? At(pos_) == ')' : At(pos_) != '(' || At(SkipBlanks(pos_ + 1)) == ')';
    if (!closed || frames_.size() != frame_index + 1) {
        state_ = kNoSeparator;
        return;
    }
    frames_.back().caller_table = std::move(private_);
    private_ = std::move(table);
    current_procedure_ = index;
    pos_ = SkipBlanks(formal) + 1;
}

}  // namespace orvana::script
