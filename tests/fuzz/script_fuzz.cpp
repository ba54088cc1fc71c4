// A station's script: loaded, checked and run with a step limit, whatever its text. The input
// holds the script, then after a zero byte the text of the file it may include. Every run ends
// with a bounded output.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "script/script_interpreter.h"
#include "tests/support/fake_script_host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view all(reinterpret_cast<const char*>(data), size);
    const size_t zero = all.find('\0');
    orvana::test::FakeScriptHost host;
    host.files["f.scr"] = std::string(all.substr(0, zero));
    if (zero != std::string_view::npos) host.files["lib.inc"] = std::string(all.substr(zero + 1));
    host.answer = [](std::string_view line) {
        return std::string(line.size() % 2 == 0 ? "RE:OK." : "ER:refused");
    };
    orvana::script::ScriptInterpreter interpreter(host);
    interpreter.set_step_limit(2000);
    interpreter.LoadAndRun("f 12 'a b'");
    if (interpreter.output().size() >= orvana::script::ScriptInterpreter::kOutputBuffer)
        std::abort();
    return 0;
}
