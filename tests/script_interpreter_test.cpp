// Running scripts against a host without sockets or receivers: statements and blocks,
// expressions and their limits, patterns, procedure calls, the store reads, the output ceiling,
// the exception report, and runs that must be stopped.

#include <gtest/gtest.h>

#include "script/state_codes.h"
#include "tests/support/fake_script_host.h"

namespace orvana {
namespace {

using test::FakeScriptHost;
using test::RunText;

std::string Main(const std::string& body, const std::string& formals = "") {
    return "proc main(" + formals + ")\n" + body + "endproc\n";
}

bool Contains(const std::vector<std::string>& lines, const std::string& text) {
    for (const auto& l : lines)
        if (l == text) return true;
    return false;
}

TEST(Statements, ConcatenationIsTheOutputAndTheEndIsLogged) {
    FakeScriptHost host;
    auto r = RunText(host, Main("out \"a\" + \"b\"\n"));
    EXPECT_EQ(r.output, "ab");
    EXPECT_EQ(r.result, 1);
    EXPECT_TRUE(Contains(host.stamped, "SC:Exit from script"));
}

TEST(Statements, AssignmentAfterAnotherStatement) {
    FakeScriptHost host;
    auto r = RunText(host, Main("private x\nout \"-\"\nx = \"1\"\nout x\n"));
    EXPECT_EQ(r.output, "-1");
}

TEST(Statements, AssignmentToAnUndeclaredVariableStops) {
    FakeScriptHost host;
    EXPECT_EQ(RunText(host, Main("y = \"1\"\n")).state, 8u);
}

TEST(Statements, IfTakesTheBranchThePatternSelects) {
    const std::string text =
        Main("if (v == \"'A'\")\nout \"yes\"\nelse\nout \"no\"\nendif\nout \".\"\n", "v");
    FakeScriptHost host;
    EXPECT_EQ(RunText(host, text, "ABC").output, "yes.");
    EXPECT_EQ(RunText(host, text, "BC").output, "no.");
}

TEST(Statements, NestedIfInsideAnUntakenBranchStaysSkipped) {
    const std::string text = Main(
        "if (v == \"'A'\")\nif (v == \"'B'\")\nout \"1\"\nelse\nout \"2\"\nendif\n"
        "else\nout \"3\"\nendif\n",
        "v");
    FakeScriptHost host;
    EXPECT_EQ(RunText(host, text, "C").output, "3");
    EXPECT_EQ(RunText(host, text, "A").output, "2");
}

TEST(Statements, SkippedIfIsCutAtTheFirstParenthesis) {
    // The skip searches the plain text, so the ")" inside the pattern ends the condition and
    // the rest of it is read as statements.
    const std::string text = Main(
        "if (v == \"* ')'\")\nif (v == \"')'\")\nout \"in\"\nendif\nendif\nout \"end\"\n", "v");
    FakeScriptHost host;
    auto r = RunText(host, text, "y");
    EXPECT_EQ(r.state, static_cast<unsigned>(script::kUndeclaredIdentifier));
    EXPECT_EQ(RunText(host, text, ")").output, "inend");
}

TEST(Loops, BreakEndsTheLoop) {
    // Takes one character off s per round until the round that saw "3".
    const std::string text = Main(
        "private n\ndo\nif (s == \"n 1? s *\")\nendif\nout n\nif (n == \"'3'\")\nbreak\nendif\n"
        "enddo\nout \"!\"\n",
        "s");
    FakeScriptHost host;
    auto r = RunText(host, text, "12345");
    EXPECT_EQ(r.output, "123!");
    EXPECT_EQ(r.state, 1u);
}

TEST(Loops, LoopWithoutBreakRunsUntilExit) {
    const std::string text = Main(
        "private n\ndo\nif (s == \"n 1? s *\")\nendif\nout n\nif (n == \"'3'\")\nexit\n"
        "endif\nenddo\nout \"never\"\n",
        "s");
    FakeScriptHost host;
    auto r = RunText(host, text, "12345");
    EXPECT_EQ(r.output, "123");
    EXPECT_EQ(r.state, 1u);
}

TEST(Loops, ContinueGoesBackToTheLoopStart) {
    const std::string text = Main(
        "private n\ndo\nif (s == \"n 1? s *\")\nendif\nif (n == \"'2'\")\ncontinue\nendif\nout n\n"
        "if (n == \"'4'\")\nbreak\nendif\nenddo\n",
        "s");
    FakeScriptHost host;
    EXPECT_EQ(RunText(host, text, "12345").output, "134");
}

TEST(Loops, PrivateInsideALoopFailsOnTheSecondRound) {
    FakeScriptHost host;
    auto r = RunText(host, Main("do\nprivate x\nout \"r\"\nenddo\n"));
    EXPECT_EQ(r.state, static_cast<unsigned>(script::kRedefinition));
    EXPECT_EQ(r.output.substr(0, 1), "r");
}

TEST(Loops, EndlessLoopIsStoppedByTheStepLimit) {
    FakeScriptHost host;
    host.files["t.scr"] = Main("do\nenddo\n");
    auto r = test::RunScript(host, "t", 5000);
    EXPECT_EQ(r.state, static_cast<unsigned>(script::kStepLimit));
    EXPECT_NE(r.output.find("too many steps"), std::string::npos);
}

TEST(Loops, RunStopsWhenTheHostSaysSo) {
    FakeScriptHost host;
    host.interrupted = true;
    auto r = RunText(host, Main("do\nenddo\n"));
    EXPECT_EQ(r.state, static_cast<unsigned>(script::kInterrupted));
    auto slept = RunText(host, Main("sleep(\"10\")\nout \"after\"\n"));
    EXPECT_EQ(slept.state, static_cast<unsigned>(script::kInterrupted));
    EXPECT_EQ(slept.output.find("after"), std::string::npos);
}

TEST(Switches, OnlyTheMatchingCaseRuns) {
    const std::string text = Main(
        "switch\ncase v == \"'a'\":\nout \"A\"\ncase v == \"'b'\":\nout \"B\"\ncase v == \"'b'\":\n"
        "out \"again\"\nendswitch\nout \".\"\n",
        "v");
    FakeScriptHost host;
    EXPECT_EQ(RunText(host, text, "b").output, "B.");
    EXPECT_EQ(RunText(host, text, "a").output, "A.");
    EXPECT_EQ(RunText(host, text, "z").output, ".");
}

TEST(Switches, MatchedCaseRunsOnIntoDefault) {
    const std::string text = Main(
        "switch\ncase v == \"'a'\":\nout \"A\"\ncase v == \"'b'\":\nout \"B\"\ndefault:\nout "
        "\"D\"\n"
        "endswitch\n",
        "v");
    FakeScriptHost host;
    EXPECT_EQ(RunText(host, text, "b").output, "BD");
    EXPECT_EQ(RunText(host, text, "q").output, "D");
}

TEST(Switches, BreakLeavesTheSwitch) {
    const std::string text = Main(
        "switch\ncase v == \"'a'\":\nout \"A\"\nbreak\ndefault:\nout \"D\"\nendswitch\nout \".\"\n",
        "v");
    FakeScriptHost host;
    EXPECT_EQ(RunText(host, text, "a").output, "A.");
}

TEST(Switches, SkippedCaseIsCutAtTheFirstColon) {
    const std::string text = Main(
        "switch\ncase v == \"'a'\":\nout \"A\"\ncase v == \"':'\":\nout \"C\"\nendswitch\n", "v");
    FakeScriptHost host;
    // After the match the second case is skipped up to the ":" inside its pattern.
    EXPECT_EQ(RunText(host, text, "a").state, static_cast<unsigned>(script::kUndeclaredIdentifier));
}

TEST(BlockErrors, EachMisplacedKeywordHasItsState) {
    struct Case {
        std::string body;
        unsigned state;
    } cases[] = {
        {"else\n", script::kNoIf},
        {"endif\n", script::kNoIf},
        {"enddo\n", script::kNoDo},
        {"case v == \"'a'\":\n", script::kNoSwitch},
        {"default:\n", script::kNoSwitch},
        {"endswitch\n", script::kNoSwitch},
        {"break\n", script::kStackEmpty},
        {"continue\n", script::kStackEmpty},
        {"return\n", script::kStackEmpty},
        {"do\nbreak\n", script::kNoEnddo},
        {"if (v == \"'x'\")\n", script::kNoEndproc},
        {"nosuchword\n", script::kUndeclaredIdentifier},
        {"if (v = \"'x'\")\nendif\n", script::kNoSeparator},
        {"out \"unclosed\n", script::kUndeclaredVariable},
        {"x = log(\"a\")\n", script::kUndeclaredVariable},
    };
    for (const Case& c : cases) {
        FakeScriptHost host;
        auto r = RunText(host, Main("private x\n" + c.body, "v"), "x");
        EXPECT_EQ(r.state, c.state) << c.body;
        EXPECT_EQ(r.result, static_cast<int>(c.state)) << c.body;
    }
}

TEST(BlockErrors, ReturnInMainIsState10AndEndprocInsideIfIs14) {
    FakeScriptHost host;
    EXPECT_EQ(RunText(host, Main("return\n")).state, 10u);
    EXPECT_EQ(RunText(host, Main("if (v == \"'a'\")\n", "v"), "a").state, 14u);
}

TEST(BlockErrors, DeepNestingFillsTheBlockStack) {
    std::string body;
    for (int i = 0; i < 86; ++i) body += "if (v == \"'a'\")\n";  // 86 * 3 bytes > 256
    FakeScriptHost host;
    EXPECT_EQ(RunText(host, Main(body, "v"), "a").state, 9u);
    std::string fits;
    for (int i = 0; i < 85; ++i) fits += "if (v == \"'a'\")\n";
    for (int i = 0; i < 85; ++i) fits += "endif\n";
    EXPECT_EQ(RunText(host, Main(fits + "out \"ok\"\n", "v"), "a").output, "ok");
}

TEST(Procedures, ArgumentsBindAndPrivatesEndWithTheCall) {
    FakeScriptHost host;
    auto r =
        RunText(host,
                "proc show(a, b)\nprivate t\nt = b + a\nout t\nendproc\n"
                "proc main()\nshow(\"1\", \"2\")\nshow(\"x\" + \"y\", \"z\")\nout t\nendproc\n");
    EXPECT_EQ(r.output.substr(0, 5), "21zxy");
    EXPECT_EQ(r.state, 8u);  // t belonged to show
}

TEST(Procedures, ReturnLeavesTheProcedureEarly) {
    FakeScriptHost host;
    auto r = RunText(host,
                     "proc p(v)\nout \"a\"\nif (v == \"'x'\")\nreturn\nendif\nout \"b\"\nendproc\n"
                     "proc main(v)\np(v)\nout \".\"\nendproc\n",
                     "x");
    EXPECT_EQ(r.output, "a.");
}

TEST(Procedures, ArgumentCountMustMatchTheFormals) {
    const std::string procs = "proc two(a, b)\nendproc\nproc none()\nendproc\n";
    FakeScriptHost host;
    EXPECT_EQ(RunText(host, procs + Main("two(\"1\")\n")).state, 11u);
    EXPECT_EQ(RunText(host, procs + Main("two(\"1\", \"2\", \"3\")\n")).state, 11u);
    EXPECT_EQ(RunText(host, procs + Main("none(\"1\")\n")).state, 11u);
    EXPECT_EQ(RunText(host, procs + Main("two(\"1\", \"2\")\nnone()\nout \"ok\"\n")).output, "ok");
}

TEST(Procedures, RepeatedFormalNameIsState16) {
    FakeScriptHost host;
    EXPECT_EQ(RunText(host, "proc p(a, a)\nendproc\n" + Main("p(\"1\", \"2\")\n")).state, 16u);
}

TEST(Procedures, RunawayRecursionFillsTheStack) {
    FakeScriptHost host;
    auto r = RunText(host, "proc p()\np()\nendproc\n" + Main("p()\n"));
    EXPECT_EQ(r.state, 9u);
}

TEST(Procedures, BreakInsideACalledProcedureIsState5) {
    FakeScriptHost host;
    EXPECT_EQ(RunText(host, "proc p()\nbreak\nendproc\n" + Main("do\np()\nenddo\n")).state, 5u);
}

TEST(Expressions, ValueIsCutAtTheBuffer) {
    FakeScriptHost host;
    const std::string a(300, 'a'), b(300, 'b');
    auto r = RunText(host, Main("out \"" + a + "\" + \"" + b + "\"\n"));
    EXPECT_EQ(r.output, a + std::string(211, 'b'));
}

TEST(Expressions, VariableHoldsAtMost255Bytes) {
    FakeScriptHost host;
    auto r = RunText(host, Main("private x\nx = \"" + std::string(300, 'q') + "\"\nout x\n"));
    EXPECT_EQ(r.output, std::string(255, 'q'));
}

TEST(Expressions, FunctionTermIsTheReplyAndDiscardsWhatCameBefore) {
    FakeScriptHost host;
    host.answer = [](std::string_view line) { return "re<" + std::string(line) + ">"; };
    // A call term is followed by its "+" directly: the blanks after ")" end the expression.
    auto r = RunText(host, Main("out \"lost\" + server(\"Get \" + \"x\")+ \"!\"\n"));
    EXPECT_EQ(r.output, "re<Get x>!");
    EXPECT_EQ(host.requests, (std::vector<std::string>{"Get x"}));
}

TEST(Expressions, SkippedCallsSendNothing) {
    FakeScriptHost host;
    auto r = RunText(host, Main("if (v == \"'a'\")\nserver(\"OpenRcv 1\")\nendif\n", "v"), "b");
    EXPECT_EQ(r.state, 1u);
    EXPECT_TRUE(host.requests.empty());
}

TEST(Expressions, NestedBuiltInCallsAreBounded) {
    std::string call = "\"x\"";
    for (int i = 0; i < 200; ++i) call = "server(" + call + ")";
    FakeScriptHost host;
    auto r = RunText(host, Main("out " + call + "\n"));
    EXPECT_EQ(r.state, 9u);
}

TEST(Expressions, SleepTakesTheLeadingNumber) {
    FakeScriptHost host;
    RunText(host, Main("sleep(\" 25ms\")\nsleep(\"-5\")\nsleep(\"abc\")\nsleep(\"+7\")\n"));
    EXPECT_EQ(host.sleeps, (std::vector<uint32_t>{25, 0, 0, 7}));
}

struct PatternCase {
    const char* op;
    const char* pattern;
    bool holds;
    const char* x;  // x afterwards (starts as "-")
};

class Patterns : public ::testing::TestWithParam<PatternCase> {};

TEST_P(Patterns, AgainstRE_OK) {
    const PatternCase& c = GetParam();
    FakeScriptHost host;
    const std::string text = Main(std::string("private x\nx = \"-\"\nif (s ") + c.op + " \"" +
                                      c.pattern + "\")\nout \"T\"\nelse\nout \"F\"\nendif\nout x\n",
                                  "s");
    auto r = RunText(host, text, "RE:OK.");
    EXPECT_EQ(r.output, std::string(c.holds ? "T" : "F") + c.x) << c.pattern;
}

INSTANTIATE_TEST_SUITE_P(
    Examples, Patterns,
    ::testing::Values(
        PatternCase{"==", "'RE:'", true, "-"}, PatternCase{"==", "'ER:'", false, "-"},
        PatternCase{"!=", "'ER:'", true, "-"}, PatternCase{"!=", "'RE:'", false, "-"},
        PatternCase{"==", "'RE:' x *", true, "OK."}, PatternCase{"==", "'RE:' x", true, "-"},
        PatternCase{"==", "* '.'", true, "-"}, PatternCase{"==", "3? x 2?", true, "OK"},
        PatternCase{"==", "x * ':'", true, "RE"}, PatternCase{"==", "* 'Q' x 2?", false, "-"},
        PatternCase{"!=", "* 'Q'", true, "-"}, PatternCase{"==", "'RE:' x 2", true, "OK"},
        PatternCase{"==", "'RE:' x 9", true, "-"}, PatternCase{"==", "'ER:' x *", false, "-"},
        // Left open by the language: an unclosed literal ends the pattern, and
        // "?" past the end takes what is left.
        PatternCase{"==", "'RE", true, "-"}, PatternCase{"==", "4? x 9?", true, "K."},
        PatternCase{"==", "'RE:OK.and more'", false, "-"}));

TEST(PatternErrors, UnknownCaptureVariableStops) {
    FakeScriptHost host;
    auto r = RunText(host, Main("if (s == \"'R' nope *\")\nendif\n", "s"), "RE");
    EXPECT_EQ(r.state, 8u);
}

TEST(StoreReads, DollarSplitsThePathAtItsLastBackslash) {
    FakeScriptHost host;
    host.config[{"Receivers\\R1", "Interface"}] = "COM 3";
    host.config[{"", "Scripts"}] = "/srv/scripts/";
    auto r = RunText(host, Main("private p\nprivate y\np = \"Receivers\\R1\\Interface\"\ny = $p\n"
                                "out y + \"|\"\np = \"Scripts\"\ny = $p\nout y + \"|\"\n"
                                "p = \"Users\\x\"\ny = $p\nout y + \"|\"\n"
                                "p = \"Receivers\\R1\\Missing\"\ny = $p\nout y\n"));
    EXPECT_EQ(r.output, "COM 3|/srv/scripts/|NOT VALUE!|NOT VALUE!");
    EXPECT_EQ(host.config_reads, (std::vector<std::string>{"Receivers\\R1|Interface", "|Scripts",
                                                           "|Users\\x", "Receivers\\R1|Missing"}));
}

TEST(StoreReads, DollarOfAnUndeclaredVariableStops) {
    FakeScriptHost host;
    EXPECT_EQ(RunText(host, Main("private y\ny = $nope\n")).state, 8u);
}

TEST(Output, OverflowIsDroppedAndLoggedALaterFitIsKept) {
    FakeScriptHost host;
    std::string body;
    const std::string chunk(500, 'o');
    for (int i = 0; i < 8; ++i) body += "out \"" + chunk + "\"\n";
    body += "out \"" + std::string(96, 'x') + "\"\nout \"z\"\n";
    auto r = RunText(host, Main(body));
    EXPECT_EQ(r.output.size(), 4001u);
    EXPECT_EQ(r.output.back(), 'z');
    EXPECT_TRUE(Contains(host.stamped, "ER:Output overflow"));
}

TEST(Output, LogWritesAnUnstampedLine) {
    FakeScriptHost host;
    RunText(host, Main("log \"note \" + \"1\"\n"));
    EXPECT_TRUE(Contains(host.plain, "note 1"));
}

TEST(Comments, RemRunsToTheEndOfItsOwnLine) {
    FakeScriptHost host;
    auto r = RunText(host, Main("rem out \"no\"\nrem\nout \"yes\"\n"));
    EXPECT_EQ(r.output, "yes");
}

TEST(ExceptionReport, UndeclaredVariableNamesProcedureLineAndVariables) {
    FakeScriptHost host;
    auto r =
        RunText(host, "public g\nproc main(a)\ng = \"G\"\nout \"x\"\nout missing\nendproc\n", "A");
    EXPECT_EQ(r.state, 8u);
    const std::string header = "\n\nEXCEPTION! proc : main #5 " +
                               std::string(script::StateText(8)) + "\nPublic Variable : ";
    EXPECT_EQ(r.output, "x" + header + "g = G  " + "\nprog : main Private Variable : a = A  ");
    EXPECT_TRUE(Contains(host.plain, header));
    EXPECT_FALSE(Contains(host.stamped, "SC:Exit from script"));
}

TEST(ExceptionReport, InsideABlockThePrivatesAreNotListed) {
    FakeScriptHost host;
    auto r = RunText(host, Main("if (v == \"'a'\")\nout nope\nendif\n", "v"), "a");
    EXPECT_EQ(r.state, 8u);
    EXPECT_EQ(r.output.find("Private Variable"), std::string::npos);
    EXPECT_NE(r.output.find("Public Variable"), std::string::npos);
}

TEST(ExceptionReport, InsideACallNamesTheCalledProcedure) {
    FakeScriptHost host;
    auto r = RunText(host, "proc inner(q)\nout nope\nendproc\n" + Main("inner(\"Q\")\n"));
    EXPECT_NE(r.output.find("EXCEPTION! proc : inner #"), std::string::npos);
    EXPECT_NE(r.output.find("prog : inner Private Variable : q = Q  "), std::string::npos);
}

TEST(ExceptionReport, StateTextsAreInCodePage1251) {
    EXPECT_EQ(script::StateText(3), "\xed\xe5 \xe1\xfb\xeb\xee if");
    EXPECT_EQ(script::StateText(8),
              "\xed\xe5 \xee\xef\xe8\xf1\xe0\xed\xe0 \xef\xe5\xf0\xe5\xec\xe5\xed\xed\xe0\xff");
    EXPECT_EQ(script::StateText(16), "redefinition identifier");
    EXPECT_EQ(script::StateText(1), "");
}

}  // namespace
}  // namespace orvana
