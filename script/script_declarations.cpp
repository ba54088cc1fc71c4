// The declaration pass: plain text searches for "proc", "public" and "endproc" (a match inside
// a longer word, a literal or a comment counts), filling the procedure table and the public
// variables, and binding main's formals to the Run parameters.

#include <string>

#include "script/script_chars.h"
#include "script/script_interpreter.h"

namespace orvana::script {

int ScriptInterpreter::Declare() {
    state_ = kRunning;
    public_ = std::make_unique<VariableTable>();
    size_t scan = 0;
    long main_body = -1;

    auto declare_public = [&](size_t at) {
        size_t p = at + 6;  // "public"
        const std::string_view name = ReadWordAt(p);
        if (public_->Declare(name) == nullptr) state_ = kRedefinition;
        return p;
    };

    for (;;) {
        const size_t proc = text_.find("proc", scan);
        const size_t pub = text_.find("public", scan);
        if (pub != std::string::npos && proc != std::string::npos && pub < proc) {
            scan = declare_public(pub);
            if (state_ != kRunning) return state_;
            continue;
        }
        if (proc == std::string::npos) break;

        size_t p = proc + 4;
        const std::string_view name = ReadWordAt(p);
        const size_t paren = word_begin_ + word_length_;
        if (name.empty() || At(paren) != '(') return state_ = kUndeclaredIdentifier;
        for (const Procedure& entry : procedures_)
            if (entry.name == name) return state_ = kRedefinition;
        procedures_.push_back({std::string(name), static_cast<long>(paren)});

        if (name == "main") {
            const size_t close = text_.find(')', proc);
            if (close == std::string::npos) return state_ = kUndeclaredIdentifier;
            main_body = static_cast<long>(close + 1);
            private_ = std::make_unique<VariableTable>();
            current_procedure_ = static_cast<uint8_t>(procedures_.size() - 1);
            if (!BindMainParameters(paren)) return state_;
        }

        const size_t end = text_.find("endproc", proc);
        if (end == std::string::npos) return state_ = kUndeclaredIdentifier;
        const size_t inner = text_.find("public", proc);
        // A duplicate here is remembered but the pass goes on.
        if (inner != std::string::npos && inner < end) declare_public(inner);
        scan = end + 7;
        if (procedures_.size() >= kProcedureTable) return state_ = kNoPlaceForProc;
    }
    if (state_ != kRunning) return state_;
    if (main_body < 0) return state_ = kNoMain;
    pos_ = static_cast<size_t>(main_body);
    return kRunning;
}

bool ScriptInterpreter::BindMainParameters(size_t paren) {
    size_t p = paren;
    for (const std::string& parameter : parameters_) {
        if (At(p) == ')' || p >= text_.size()) break;
        ++p;  // the "(" or ","
        const std::string_view formal = ReadWordAt(p);
        if (formal.empty()) break;
        Variable* v = private_->Declare(formal);
        if (v == nullptr) {
            state_ = kRedefinition;
            return false;
        }
        v->Set(parameter);
        p = SkipBlanks(p);
    }
    return true;
}

}  // namespace orvana::script
