#include "script/script_interpreter.h"

#include "script/script_chars.h"
#include "script/script_loader.h"

namespace orvana::script {
namespace {

// The fixed part of the procedure table, in the order statement dispatch relies on.
struct FixedEntry {
    const char* name;
    long position;
};
constexpr FixedEntry kFixed[ScriptInterpreter::kFixedProcedures] = {
    {"", 0},       {"if", 0},     {"else", 0},    {"endif", 0},     {"do", 0},       {"enddo", 0},
    {"switch", 0}, {"case", 0},   {"default", 0}, {"endswitch", 0}, {"continue", 0}, {"break", 0},
    {"exit", 0},   {"return", 0}, {"rem", 0},     {"endproc", 0},   {"private", 0},  {"public", 0},
    {"log", 0},    {"out", 0},    {"sleep", -1},  {"server", -1},   {"register", 0},
};

constexpr const char* kTooManyParameters = "ER:Counter parameters > 10!";
constexpr const char* kOutputOverflow = "ER:Output overflow";
// How many statements run between two looks at whether the run is to stop.
constexpr uint64_t kInterruptPoll = 256;

}  // namespace

ScriptInterpreter::ScriptInterpreter(ScriptHost& host) : host_(host) {
    procedures_.reserve(kProcedureTable);
    for (const FixedEntry& e : kFixed) procedures_.push_back({e.name, e.position});
}

ScriptInterpreter::~ScriptInterpreter() = default;

int ScriptInterpreter::LoadAndRun(std::string_view argument) {
    RunArgument arg = ParseRunArgument(argument);
    if (arg.too_many) {
        output_ = kTooManyParameters;
        return 0;
    }
    parameters_ = std::move(arg.parameters);
    std::string failure;
    switch (LoadScriptText(host_, arg.name, &text_, &failure)) {
        case LoadResult::Ok:
            break;
        case LoadResult::NotLoaded:
            output_ = failure;
            return 0;
        case LoadResult::IncludeFailed:
            output_ = failure;
            return -1;
    }
    // The text ends at its first zero byte, as every search over it assumes.
    text_.resize(std::string_view(text_.c_str()).size());
    const int declared = Declare();
    if (declared != 0) {
        stopped_in_declaration_ = true;
        return declared;
    }
    Run();
    Finish();
    return static_cast<int>(state_);
}

void ScriptInterpreter::Run() {
    state_ = kRunning;
    while (state_ == kRunning) {
        if (++steps_ > step_limit_) {
            state_ = kStepLimit;
            break;
        }
        if (steps_ % kInterruptPoll == 0 && host_.Interrupted()) {
            state_ = kInterrupted;
            break;
        }
        const std::string_view word = ReadWord();
        if (At(pos_) == '=') {
            Assignment(word);
            continue;
        }
        const int index = LookUp(word);
        if (index < 0) {
            state_ = kUndeclaredIdentifier;
            break;
        }
        if (procedures_[index].position != 0)
            CallProcedure(static_cast<uint8_t>(index));
        else
            Statement(static_cast<uint8_t>(index));
    }
}

void ScriptInterpreter::Statement(uint8_t index) {
    switch (index) {
        case kIf:
            If();
            break;
        case kElse:
            Else();
            break;
        case kEndif:
            Endif();
            break;
        case kDo:
            Do();
            break;
        case kEnddo:
            Enddo();
            break;
        case kSwitch:
            Switch();
            break;
        case kCase:
            Case();
            break;
        case kDefault:
            Default();
            break;
        case kEndswitch:
            Endswitch();
            break;
        case kContinue:
            Continue();
            break;
        case kBreak:
            Break();
            break;
        case kExit:
            if (executing_) state_ = kEnded;
            break;
        case kReturn:
            Return();
            break;
        case kRem:
            Rem();
            break;
        case kEndproc:
            Endproc();
            break;
        case kPrivate:
            Private();
            break;
        case kPublic:
            ReadWord();
            break;
        case kLog:
            Log();
            break;
        case kOut:
            Out();
            break;
        case kRegister:
            Register();
            break;
        default:
            state_ = kUndeclaredIdentifier;
            break;
    }
}

void ScriptInterpreter::Finish() {
    if (state_ == kEnded) {
        host_.LogStamped("SC:Exit from script");
        return;
    }
    const std::string& name = procedures_[current_procedure_].name;
    Report("\n\nEXCEPTION! proc : " + name + " #" + std::to_string(LineNumber()) + " " +
           std::string(StateText(state_)) + "\nPublic Variable : ");
    Report(public_ ? public_->Dump() : std::string());
    const char innermost = Innermost();
    if (innermost == 'p' || innermost == 0) {
        Report("\nprog : " + name + " Private Variable : ");
        Report(private_ ? private_->Dump() : std::string());
    }
}

void ScriptInterpreter::Report(std::string_view part) {
    host_.LogPlain(part);
    if (output_.size() + part.size() < kOutputBuffer)
        output_.append(part);
    else
        host_.LogStamped(kOutputOverflow);
}

unsigned ScriptInterpreter::LineNumber() const {
    long start = procedures_[current_procedure_].position;
    size_t at = start > 0 ? static_cast<size_t>(start) : 0;
    unsigned n = 1;
    while (at < word_begin_) {
        const size_t eol = text_.find('\n', at);
        if (eol == std::string::npos) break;
        at = eol + 1;
        ++n;
    }
    return n;
}

size_t ScriptInterpreter::SkipBlanks(size_t i) const {
    while (IsBlank(At(i))) ++i;
    return i;
}

std::string_view ScriptInterpreter::ReadWordAt(size_t& i) {
    i = SkipBlanks(i);
    const size_t begin = i;
    // The first byte counts whatever it is ("(x" and "=" are words); the end of the text does
    // not, so reading never runs past it.
    if (i < text_.size()) {
        ++i;
        while (IsWordByte(At(i))) ++i;
    }
    word_begin_ = begin;
    word_length_ = i - begin;
    const std::string_view word(text_.data() + begin, i - begin);
    i = SkipBlanks(i);
    return word;
}

int ScriptInterpreter::LookUp(std::string_view name) const {
    for (size_t i = 1; i < procedures_.size(); ++i)
        if (procedures_[i].name == name) return static_cast<int>(i);
    return -1;
}

Variable* ScriptInterpreter::FindVariable(std::string_view name) const {
    if (private_)
        if (Variable* v = private_->Find(name)) return v;
    return public_ ? public_->Find(name) : nullptr;
}

size_t ScriptInterpreter::FrameSize(char kind) {
    switch (kind) {
        case 'd':
            return 5;
        case 'p':
            return 10;
        default:
            return 3;
    }
}

bool ScriptInterpreter::PushFrame(Frame frame) {
    const size_t size = FrameSize(frame.kind);
    if (stack_bytes_ + size > kBlockStack) {
        state_ = kStackFull;
        return false;
    }
    stack_bytes_ += size;
    frames_.push_back(std::move(frame));
    return true;
}

bool ScriptInterpreter::PopFrame() {
    if (frames_.empty()) {
        state_ = kStackEmpty;
        return false;
    }
    stack_bytes_ -= FrameSize(frames_.back().kind);
    frames_.pop_back();
    return true;
}

}  // namespace orvana::script
