#pragma once
// One run of a script: the declaration pass over the loaded text, then a single read position
// walking the text statement by statement. There is no parse tree: code that must not take
// effect is still read with the executing flag off, so block keywords keep their nesting.
//
// Every input is a stranger's text: each loop of the interpreter moves forward through a
// bounded text or is counted against the step limit, values and output have fixed ceilings,
// and nested built-in calls are limited so the native stack stays small.
//
// Not thread-safe; one per Run request, on the requesting client's thread.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "script/script_host.h"
#include "script/state_codes.h"
#include "script/variable_table.h"

namespace orvana::script {

class ScriptInterpreter {
  public:
    static constexpr size_t kValueBuffer = 512;  // holds 511 bytes and the zero
    static constexpr size_t kOutputBuffer = 4096;
    static constexpr size_t kBlockStack = 256;
    static constexpr size_t kProcedureTable = 40;
    static constexpr size_t kFixedProcedures = 23;
    static constexpr unsigned kMaxCallNesting = 32;
    static constexpr uint64_t kDefaultStepLimit = 1000000;

    explicit ScriptInterpreter(ScriptHost& host);
    ~ScriptInterpreter();
    ScriptInterpreter(const ScriptInterpreter&) = delete;
    ScriptInterpreter& operator=(const ScriptInterpreter&) = delete;

    // Load-and-run: 0 when the script could not be loaded (the output holds why), -1 when an
    // include failed, otherwise the final state code.
    int LoadAndRun(std::string_view argument);

    // The reply text of the Run request.
    const std::string& output() const { return output_; }
    unsigned state() const { return state_; }
    // True when the declaration pass stopped the run before any statement ran.
    bool stopped_in_declaration() const { return stopped_in_declaration_; }

    void set_step_limit(uint64_t steps) { step_limit_ = steps; }

  private:
    enum : uint8_t {
        kAssign,
        kIf,
        kElse,
        kEndif,
        kDo,
        kEnddo,
        kSwitch,
        kCase,
        kDefault,
        kEndswitch,
        kContinue,
        kBreak,
        kExit,
        kReturn,
        kRem,
        kEndproc,
        kPrivate,
        kPublic,
        kLog,
        kOut,
        kSleep,
        kServer,
        kRegister,
    };

    struct Procedure {
        std::string name;
        // 0 a statement keyword, -1 a built-in function, else the offset of the "(" after a
        // user procedure's name.
        long position = 0;
    };

    struct Frame {
        Frame(char k, bool e) : kind(k), executing(e) {}
        char kind = 0;  // 'i', 's', 'd' or 'p'
        bool executing = false;
        size_t loop_start = 0;                        // do
        std::unique_ptr<VariableTable> caller_table;  // call, once the callee runs
        size_t return_point = 0;                      // call
        uint8_t caller_procedure = 0;                 // call
    };

    // Loading (script_declarations.cpp).
    int Declare();
    bool BindMainParameters(size_t paren);

    // The run (script_interpreter.cpp).
    void Run();
    void Statement(uint8_t index);
    void Finish();
    void Report(std::string_view part);
    unsigned LineNumber() const;

    // Statements and calls (script_statements.cpp).
    void Assignment(std::string_view target);
    void If();
    void Else();
    void Endif();
    void Do();
    void Enddo();
    void Switch();
    void Case();
    void Default();
    void Endswitch();
    void Continue();
    void Break();
    void Return();
    void Endproc();
    void Rem();
    void Private();
    void Log();
    void Out();
    void Register();
    void CallProcedure(uint8_t index);
    void CallBuiltIn(uint8_t index);
    void CallUser(uint8_t index, size_t return_point);

    // Expressions and conditions (script_expressions.cpp).
    void Evaluate();
    void AppendValue(std::string_view text);
    bool Condition(char end);
    bool Match(std::string_view pattern, std::string_view subject, bool equal);
    std::string RegistryRead(std::string_view path);

    // Text and tables.
    char At(size_t i) const { return i < text_.size() ? text_[i] : '\0'; }
    size_t SkipBlanks(size_t i) const;
    std::string_view ReadWordAt(size_t& i);
    std::string_view ReadWord() { return ReadWordAt(pos_); }
    void Step() {
        if (pos_ < text_.size()) ++pos_;
    }
    int LookUp(std::string_view name) const;
    Variable* FindVariable(std::string_view name) const;
    bool PushFrame(Frame frame);
    bool PopFrame();
    char Innermost() const { return frames_.empty() ? 0 : frames_.back().kind; }
    static size_t FrameSize(char kind);

    ScriptHost& host_;
    std::unique_ptr<VariableTable> private_;
    std::unique_ptr<VariableTable> public_;
    size_t pos_ = 0;
    unsigned state_ = kRunning;
    size_t word_begin_ = 0;
    size_t word_length_ = 0;
    uint8_t current_procedure_ = 0;
    bool executing_ = true;
    bool searching_ = true;
    std::string value_;
    std::vector<Frame> frames_;
    size_t stack_bytes_ = 0;
    std::string text_;
    std::string output_;
    std::vector<Procedure> procedures_;
    std::vector<std::string> parameters_;
    std::string reply_;  // what the internal client's last request left
    bool stopped_in_declaration_ = false;
    unsigned call_nesting_ = 0;
    uint64_t steps_ = 0;
    uint64_t step_limit_ = kDefaultStepLimit;
};

}  // namespace orvana::script
