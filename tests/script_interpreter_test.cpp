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

// A script, its parameters, and what the run gives: the output (for a run that stopped, the
// start of it, before the exception report) and the state.
struct RunCase {
    std::string text, parameters, output;
    unsigned state = script::kEnded;
};

void ExpectRuns(const std::vector<RunCase>& cases) {
    for (const RunCase& c : cases) {
        FakeScriptHost host;
        auto r = RunText(host, c.text, c.parameters);
        EXPECT_EQ(r.state, c.state) << c.text << " with " << c.parameters;
        EXPECT_EQ(r.result, static_cast<int>(r.state)) << c.text;
        if (c.state == script::kEnded) {
            EXPECT_EQ(r.output, c.output) << c.text << " with " << c.parameters;
        } else {
            EXPECT_EQ(r.output.substr(0, c.output.size()), c.output) << c.text;
        }
    }
}

TEST(Statements, AssignmentsAndBranches) {
    const std::string branch =
        Main("if (v == \"'A'\")\nout \"yes\"\nelse\nout \"no\"\nendif\nout \".\"\n", "v");
    const std::string nested = Main(
        "if (v == \"'A'\")\nif (v == \"'B'\")\nout \"1\"\nelse\nout \"2\"\nendif\n"
        "else\nout \"3\"\nendif\n",
        "v");
    // The skip searches the plain text, so the ")" inside the pattern ends the condition and
    // the rest of it is read as statements.
    const std::string cut = Main(
        "if (v == \"* ')'\")\nif (v == \"')'\")\nout \"in\"\nendif\nendif\nout \"end\"\n", "v");
    ExpectRuns({
        {Main("private x\nout \"-\"\nx = \"1\"\nout x\n"), "", "-1"},
        {Main("y = \"1\"\n"), "", "", script::kUndeclaredVariable},
        {branch, "ABC", "yes."},
        {branch, "BC", "no."},
        {nested, "C", "3"},
        {nested, "A", "2"},
        {cut, "y", "", script::kUndeclaredIdentifier},
        {cut, ")", "inend"},
        {Main("rem out \"no\"\nrem\nout \"yes\"\n"), "", "yes"},  // to the end of its own line
    });
}

TEST(Loops, BreakExitContinueAndAPrivateInside) {
    // Each round takes one character off s.
    const std::string take = "private n\ndo\nif (s == \"n 1? s *\")\nendif\n";
    ExpectRuns({
        {Main(take + "out n\nif (n == \"'3'\")\nbreak\nendif\nenddo\nout \"!\"\n", "s"), "12345",
         "123!"},
        {Main(take + "out n\nif (n == \"'3'\")\nexit\nendif\nenddo\nout \"never\"\n", "s"), "12345",
         "123"},
        {Main(take + "if (n == \"'2'\")\ncontinue\nendif\nout n\nif (n == \"'4'\")\nbreak\nendif\n"
                     "enddo\n",
              "s"),
         "12345", "134"},
        {Main("do\nprivate x\nout \"r\"\nenddo\n"), "", "r", script::kRedefinition},
    });
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

TEST(Switches, CasesDefaultBreakAndTheSkip) {
    const std::string cases = Main(
        "switch\ncase v == \"'a'\":\nout \"A\"\ncase v == \"'b'\":\nout \"B\"\ncase v == \"'b'\":\n"
        "out \"again\"\nendswitch\nout \".\"\n",
        "v");
    const std::string with_default = Main(
        "switch\ncase v == \"'a'\":\nout \"A\"\ncase v == \"'b'\":\nout \"B\"\ndefault:\nout "
        "\"D\"\nendswitch\n",
        "v");
    ExpectRuns({
        {cases, "b", "B."},
        {cases, "a", "A."},
        {cases, "z", "."},
        {with_default, "b", "BD"},  // a matched case runs on into the default
        {with_default, "q", "D"},
        {Main("switch\ncase v == \"'a'\":\nout \"A\"\nbreak\ndefault:\nout \"D\"\nendswitch\nout "
              "\".\"\n",
              "v"),
         "a", "A."},
        // After the match the second case is skipped up to the ":" inside its pattern.
        {Main("switch\ncase v == \"'a'\":\nout \"A\"\ncase v == \"':'\":\nout \"C\"\nendswitch\n",
              "v"),
         "a", "A", script::kUndeclaredIdentifier},
    });
}

TEST(BlockErrors, EachMisplacedKeywordHasItsStateAndDeepNestingFillsTheStack) {
    auto in = [](const std::string& body) { return Main("private x\n" + body, "v"); };
    std::string deep, fits;
    for (int i = 0; i < 86; ++i) deep += "if (v == \"'a'\")\n";  // 86 * 3 bytes > 256
    for (int i = 0; i < 85; ++i) fits += "if (v == \"'a'\")\n";
    for (int i = 0; i < 85; ++i) fits += "endif\n";
    ExpectRuns({
        {in("else\n"), "x", "", script::kNoIf},
        {in("endif\n"), "x", "", script::kNoIf},
        {in("enddo\n"), "x", "", script::kNoDo},
        {in("case v == \"'a'\":\n"), "x", "", script::kNoSwitch},
        {in("default:\n"), "x", "", script::kNoSwitch},
        {in("endswitch\n"), "x", "", script::kNoSwitch},
        {in("break\n"), "x", "", script::kStackEmpty},
        {in("continue\n"), "x", "", script::kStackEmpty},
        {in("return\n"), "x", "", script::kStackEmpty},
        {in("do\nbreak\n"), "x", "", script::kNoEnddo},
        {in("if (v == \"'x'\")\n"), "x", "", script::kNoEndproc},
        {in("nosuchword\n"), "x", "", script::kUndeclaredIdentifier},
        {in("if (v = \"'x'\")\nendif\n"), "x", "", script::kNoSeparator},
        {in("out \"unclosed\n"), "x", "", script::kUndeclaredVariable},
        {in("x = log(\"a\")\n"), "x", "", script::kUndeclaredVariable},
        {Main(deep, "v"), "a", "", script::kStackFull},
        {Main(fits + "out \"ok\"\n", "v"), "a", "ok"},
    });
}

TEST(Procedures, CallsArgumentsAndTheirLimits) {
    const std::string procs = "proc two(a, b)\nendproc\nproc none()\nendproc\n";
    const std::string a(300, 'a'), b(300, 'b');
    std::string nested = "\"x\"";
    for (int i = 0; i < 200; ++i) nested = "server(" + nested + ")";
    ExpectRuns({
        // t belonged to show.
        {"proc show(a, b)\nprivate t\nt = b + a\nout t\nendproc\n"
         "proc main()\nshow(\"1\", \"2\")\nshow(\"x\" + \"y\", \"z\")\nout t\nendproc\n",
         "", "21zxy", script::kUndeclaredVariable},
        {"proc p(v)\nout \"a\"\nif (v == \"'x'\")\nreturn\nendif\nout \"b\"\nendproc\n"
         "proc main(v)\np(v)\nout \".\"\nendproc\n",
         "x", "a."},
        {procs + Main("two(\"1\")\n"), "", "", script::kNoSeparator},
        {procs + Main("two(\"1\", \"2\", \"3\")\n"), "", "", script::kNoSeparator},
        {procs + Main("none(\"1\")\n"), "", "", script::kNoSeparator},
        {procs + Main("two(\"1\", \"2\")\nnone()\nout \"ok\"\n"), "", "ok"},
        {"proc p(a, a)\nendproc\n" + Main("p(\"1\", \"2\")\n"), "", "", script::kRedefinition},
        {"proc p()\np()\nendproc\n" + Main("p()\n"), "", "", script::kStackFull},
        {"proc p()\nbreak\nendproc\n" + Main("do\np()\nenddo\n"), "", "", script::kNoSwitch},
        {Main("out " + nested + "\n"), "", "", script::kStackFull},
        // Values are cut at the buffer, variables at 255 bytes.
        {Main("out \"" + a + "\" + \"" + b + "\"\n"), "", a + std::string(211, 'b')},
        {Main("private x\nx = \"" + std::string(300, 'q') + "\"\nout x\n"), "",
         std::string(255, 'q')},
        {Main("if (s == \"'R' nope *\")\nendif\n", "s"), "RE", "", script::kUndeclaredVariable},
        {Main("private y\ny = $nope\n"), "", "", script::kUndeclaredVariable},
    });
}

TEST(Expressions, FunctionTermIsTheReplyAndDiscardsWhatCameBeforeSkippedCallsSendNothing) {
    FakeScriptHost host;
    host.answer = [](std::string_view line) { return "re<" + std::string(line) + ">"; };
    // A call term is followed by its "+" directly: the blanks after ")" end the expression.
    auto r = RunText(host, Main("out \"lost\" + server(\"Get \" + \"x\")+ \"!\"\n"));
    EXPECT_EQ(r.output, "re<Get x>!");
    EXPECT_EQ(host.requests, (std::vector<std::string>{"Get x"}));
    // Skipped calls send nothing.
    r = RunText(host, Main("if (v == \"'a'\")\nserver(\"OpenRcv 1\")\nendif\n", "v"), "b");
    EXPECT_EQ(r.state, 1u);
    EXPECT_EQ(host.requests.size(), 1u);
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

TEST(Output, OverflowIsDroppedAndLoggedALaterFitIsKeptLogIsUnstamped) {
    FakeScriptHost host;
    std::string body;
    const std::string chunk(500, 'o');
    for (int i = 0; i < 8; ++i) body += "out \"" + chunk + "\"\n";
    body += "out \"" + std::string(96, 'x') + "\"\nout \"z\"\n";
    auto r = RunText(host, Main(body));
    EXPECT_EQ(r.output.size(), 4001u);
    EXPECT_EQ(r.output.back(), 'z');
    EXPECT_TRUE(Contains(host.stamped, "ER:Output overflow"));
    // log writes an unstamped line.
    RunText(host, Main("log \"note \" + \"1\"\n"));
    EXPECT_TRUE(Contains(host.plain, "note 1"));
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

TEST(ExceptionReport, InABlockInACallAndByChain) {
    FakeScriptHost host;
    // Inside a block the privates are not listed.
    auto r = RunText(host, Main("if (v == \"'a'\")\nout nope\nendif\n", "v"), "a");
    EXPECT_EQ(r.state, 8u);
    EXPECT_EQ(r.output.find("Private Variable"), std::string::npos);
    EXPECT_NE(r.output.find("Public Variable"), std::string::npos);
    // Inside a call the called procedure is named.
    r = RunText(host, "proc inner(q)\nout nope\nendproc\n" + Main("inner(\"Q\")\n"));
    EXPECT_NE(r.output.find("EXCEPTION! proc : inner #"), std::string::npos);
    EXPECT_NE(r.output.find("prog : inner Private Variable : q = Q  "), std::string::npos);
    // Chains of one-byte names are their low four bits: p 0, a and q 1, b 2; newest first.
    r = RunText(host, "public b\npublic a\npublic q\npublic p\n" + Main("out nope\n"));
    EXPECT_NE(r.output.find("Public Variable : p =   q =   a =   b =   \n"), std::string::npos)
        << r.output;
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
