// Stranger's text: random bytes, random mixes of the language's own words, and every prefix of
// real scripts must end a run cleanly, with a known state and a well-formed reply.

#include <gtest/gtest.h>

#include <random>

#include "script/state_codes.h"
#include "tests/support/fake_script_host.h"

namespace orvana {
namespace {

using test::FakeScriptHost;

const char* kSamples[] = {
    "public g\nproc show(a, b)\nprivate t\nt = b + a\nout t\nendproc\n"
    "proc main(s, v)\nprivate n\nprivate p\ndo\nif (s == \"n 1? s *\")\nendif\nshow(n, \"-\")\n"
    "if (n == \"'3'\")\nbreak\nendif\nenddo\nswitch\ncase v == \"'a'\":\nout \"A\"\n"
    "case v == \"* 'b' g *\":\nout g\ndefault:\nlog \"d\"\nendswitch\np = "
    "\"Receivers\\R\\Interface\"\n"
    "g = $p\nregister p\nsleep(\"1\")\nout server(\"OpenRcv 1\")+ \"|\"\nreturn\nendproc\n",
    "#include lib.inc\nproc main()\nrem a comment\nhello(\"x\")\nexit\nendproc\n",
};

const char* kWords[] = {
    "proc ",     "main",  "(",         ")",       "endproc",  "\n",   " ",       "if",
    "else",      "endif", "do",        "enddo",   "switch",   "case", "default", ":",
    "endswitch", "break", "continue",  "exit",    "return",   "rem",  "private", "public",
    "log",       "out",   "sleep",     "server",  "register", "\"",   "'",       "*",
    "?",         "3",     "=",         "==",      "!=",       "+",    "$",       ",",
    "x",         "y",     "#include ", "lib.inc", "\xa8\xac", "\0"};

void CheckRun(FakeScriptHost& host, const std::string& text, const std::string& argument) {
    host.files["f.scr"] = text;
    script::ScriptInterpreter interpreter(host);
    interpreter.set_step_limit(2000);
    const int result = interpreter.LoadAndRun(argument);
    const std::string& out = interpreter.output();
    ASSERT_LT(out.size(), script::ScriptInterpreter::kOutputBuffer);
    if (result == 0 || result == -1) {
        ASSERT_EQ(out.substr(0, 3), "ER:") << text;
        return;
    }
    ASSERT_GE(result, 1);
    ASSERT_LE(result, static_cast<int>(script::kInterrupted));
    if (interpreter.stopped_in_declaration()) {
        ASSERT_TRUE(out.empty());
    } else if (result != script::kEnded && out.size() < 3000) {
        // Short enough that the report fitted: it must be there.
        ASSERT_NE(out.find("\n\nEXCEPTION! proc : "), std::string::npos) << text;
    }
}

FakeScriptHost Host() {
    FakeScriptHost host;
    host.files["lib.inc"] = "proc hello(w)\nout w\nendproc\n";
    host.config[{"Receivers\\R", "Interface"}] = "COM 1";
    return host;
}

TEST(ScriptFuzz, EveryPrefixOfRealScripts) {
    FakeScriptHost host = Host();
    for (const char* sample : kSamples) {
        const std::string text = sample;
        for (size_t n = 0; n <= text.size(); ++n) {
            CheckRun(host, text.substr(0, n), "f 12345 b");
            if (HasFatalFailure()) return;
        }
    }
}

TEST(ScriptFuzz, RandomBytes) {
    FakeScriptHost host = Host();
    std::mt19937 rng(12345);
    for (int round = 0; round < 2000; ++round) {
        std::string text(rng() % 300, '\0');
        for (char& c : text) c = static_cast<char>(rng());
        if (round % 2) text = "proc main(a)\n" + text;
        CheckRun(host, text, "f a");
        if (HasFatalFailure()) return;
    }
}

TEST(ScriptFuzz, RandomMixesOfTheLanguage) {
    FakeScriptHost host = Host();
    std::mt19937 rng(777);
    for (int round = 0; round < 3000; ++round) {
        std::string text = "proc main(x, y)\n";
        const int words = static_cast<int>(rng() % 60);
        for (int i = 0; i < words; ++i) {
            const char* w = kWords[rng() % std::size(kWords)];
            text += *w ? std::string(w) : std::string(1, '\0');
            if (rng() % 3 == 0) text += ' ';
        }
        if (rng() % 2) text += "\nendproc\n";
        CheckRun(host, text, round % 5 ? "f 1 2" : "f");
        if (HasFatalFailure()) return;
    }
}

TEST(ScriptFuzz, RandomRunArguments) {
    FakeScriptHost host = Host();
    host.files["f.scr"] = kSamples[0];
    std::mt19937 rng(99);
    for (int round = 0; round < 500; ++round) {
        std::string arg = "f";
        const int n = static_cast<int>(rng() % 14);
        for (int i = 0; i < n; ++i) arg += std::string(1 + rng() % 3, ' ') + "p";
        script::ScriptInterpreter interpreter(host);
        interpreter.set_step_limit(2000);
        const int result = interpreter.LoadAndRun(arg);
        if (interpreter.output().rfind("ER:Counter parameters > 10!", 0) == 0)
            EXPECT_EQ(result, 0);
        else
            EXPECT_GE(result, 1);
    }
}

}  // namespace
}  // namespace orvana
