// Loading a script: the Run argument's name and parameters, the files it may and may not read,
// include expansion and its limits, and the declaration pass with its state codes.

#include <gtest/gtest.h>

#include <algorithm>

#include "script/script_loader.h"
#include "tests/support/fake_script_host.h"

namespace orvana {
namespace {

using test::FakeScriptHost;
using test::RunScript;
using test::RunText;

// Echoes each parameter between brackets.
const char* kEcho =
    "proc main(a, b, c, d, e, f, g, h, i)\n"
    "out \"[\" + a + \"][\" + b + \"]\"\n"
    "endproc\n";

TEST(RunArgument, NameAndParameters) {
    auto r = script::ParseRunArgument("test");
    EXPECT_EQ(r.name, "test.scr");
    EXPECT_TRUE(r.parameters.empty());

    r = script::ParseRunArgument("test.scr a b");
    EXPECT_EQ(r.name, "test.scr");
    EXPECT_EQ(r.parameters, (std::vector<std::string>{"a", "b"}));

    r = script::ParseRunArgument("test a ");
    EXPECT_EQ(r.parameters, (std::vector<std::string>{"a", ""}));

    r = script::ParseRunArgument("x.scr.bak   p");
    EXPECT_EQ(r.name, "x.scr.bak");
    EXPECT_EQ(r.parameters, (std::vector<std::string>{"p"}));
}

TEST(RunArgument, NineParametersRunTenAreRefused) {
    FakeScriptHost host;
    host.files["t.scr"] = kEcho;
    auto nine = RunScript(host, "t 1 2 3 4 5 6 7 8 9");
    EXPECT_EQ(nine.output, "[1][2]");
    EXPECT_EQ(nine.result, 1);

    auto ten = RunScript(host, "t 1 2 3 4 5 6 7 8 9 10");
    EXPECT_EQ(ten.output, "ER:Counter parameters > 10!");
    EXPECT_EQ(ten.result, 0);
}

TEST(RunArgument, TrailingSpaceGivesAnEmptyLastParameter) {
    FakeScriptHost host;
    host.files["t.scr"] = kEcho;
    EXPECT_EQ(RunScript(host, "t a ").output, "[a][]");
}

TEST(ScriptFiles, MissingScriptIsReported) {
    FakeScriptHost host;
    auto r = RunScript(host, "nothere");
    EXPECT_EQ(r.output, "ER:Script don't exist!");
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(host.read_names, (std::vector<std::string>{"nothere.scr"}));
}

TEST(ScriptFiles, NamesLeavingTheFolderNeverReachTheFileSystem) {
    for (const char* name : {"../up", "/etc/passwd", "sub\\x", "a/../../x", "./../x", "sub/../x"}) {
        FakeScriptHost host;
        host.files[std::string(name) + ".scr"] = "proc main()\nout \"leak\"\nendproc\n";
        auto r = RunScript(host, name);
        EXPECT_EQ(r.output, "ER:Script don't exist!") << name;
        EXPECT_TRUE(host.read_names.empty()) << name;
    }
    FakeScriptHost host;
    host.files["sub/ok.scr"] = "proc main()\nout \"in\"\nendproc\n";
    EXPECT_EQ(RunScript(host, "sub/ok").output, "in");
}

TEST(ScriptFiles, IncludeLeavingTheFolderIsRefused) {
    FakeScriptHost host;
    host.files["../x.inc"] = "proc p()\nendproc\n";
    auto r = RunText(host, "#include ../x.inc\nproc main()\nendproc\n");
    EXPECT_EQ(r.output, "ER:File name don't exist!");
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(std::count(host.read_names.begin(), host.read_names.end(), "../x.inc"), 0);
}

TEST(Includes, DirectiveIsReplacedByTheFile) {
    FakeScriptHost host;
    host.files["lib.inc"] = "proc hello()\nout \"hi\"\nendproc";
    auto r = RunText(host, "#include lib.inc\nproc main()\nhello()\nout \"!\"\nendproc\n");
    EXPECT_EQ(r.output, "hi!");
    EXPECT_EQ(r.state, 1u);
}

TEST(Includes, CommentedOutDirectiveIsLeftAlone) {
    FakeScriptHost host;
    auto r = RunText(host, "proc main()\nrem \t #include missing.inc\nout \"ok\"\nendproc\n");
    EXPECT_EQ(r.output, "ok");
    EXPECT_EQ(std::count(host.read_names.begin(), host.read_names.end(), "missing.inc"), 0);
}

TEST(Includes, DirectiveInsideALiteralIsExpanded) {
    FakeScriptHost host;
    host.files["word"] = "inside";
    auto r = RunText(host, "proc main()\nout \"<#include word >\"\nendproc\n");
    EXPECT_EQ(r.output, "<inside\n >");  // with the line feed that loading adds
}

TEST(Includes, MissingFileGivesMinusOne) {
    FakeScriptHost host;
    auto r = RunText(host, "#include gone.inc\nproc main()\nendproc\n");
    EXPECT_EQ(r.output, "ER:File name don't exist!");
    EXPECT_EQ(r.result, -1);
}

TEST(Includes, FileThatIncludesItselfStopsWithAText) {
    FakeScriptHost host;
    host.files["self.inc"] = "rem x\n#include self.inc\n";
    auto direct = RunText(host, "#include self.inc\nproc main()\nendproc\n");
    EXPECT_EQ(direct.output, "ER:File include itself!");
    EXPECT_EQ(direct.result, -1);

    host.files["a.inc"] = "#include b.inc\n";
    host.files["b.inc"] = "#include ./a.inc\n";
    auto indirect = RunText(host, "#include a.inc\nproc main()\nendproc\n");
    EXPECT_EQ(indirect.output, "ER:File include itself!");

    host.files["back.inc"] = "#include t.scr\n";
    auto main_again = RunText(host, "#include back.inc\nproc main()\nendproc\n");
    EXPECT_EQ(main_again.output, "ER:File include itself!");
}

TEST(Includes, SameFileTwiceSideBySideIsNoLoop) {
    FakeScriptHost host;
    host.files["v.inc"] = "out \"v\"";
    auto r = RunText(host, "proc main()\n#include v.inc\n#include v.inc\nendproc\n");
    EXPECT_EQ(r.output, "vv");
}

TEST(Includes, OverlongNameIsRefused) {
    FakeScriptHost host;
    const std::string name(128, 'n');
    host.files[name] = "";
    host.files[name.substr(0, 127)] = "";
    auto r = RunText(host, "#include " + name + "\nproc main()\nendproc\n");
    EXPECT_EQ(r.output, "ER:File name don't exist!");
    EXPECT_EQ(r.result, -1);
}

TEST(ScriptSize, TextOf65536BytesIsTooBig) {
    FakeScriptHost host;
    const std::string head = "proc main()\nout \"ok\"\nendproc\n";
    std::string fits = head + std::string(65535 - 1 - head.size(), ' ');
    host.files["t.scr"] = fits;
    EXPECT_EQ(RunScript(host, "t").output, "ok");
    host.files["t.scr"] = fits + " ";
    auto r = RunScript(host, "t");
    EXPECT_EQ(r.output, "ER:Container very big!");
    EXPECT_EQ(r.result, 0);
}

TEST(ScriptSize, IncludesThatGrowPastTheLimitAreTooBig) {
    FakeScriptHost host;
    host.files["big"] = std::string(40000, ' ');
    auto r = RunText(host, "#include big\n#include big\nproc main()\nendproc\n");
    EXPECT_EQ(r.output, "ER:Container very big!");
    EXPECT_EQ(r.result, 0);

    // Each level doubles the text: the limit is met long before the expansion ends.
    for (int i = 0; i < 20; ++i)
        host.files["d" + std::to_string(i)] =
            "#include d" + std::to_string(i + 1) + "\n#include d" + std::to_string(i + 1) + "\n";
    host.files["d20"] = "x";
    r = RunText(host, "#include d0\nproc main()\nendproc\n");
    EXPECT_EQ(r.output, "ER:Container very big!");
}

TEST(Declarations, MainIsRequired) {
    FakeScriptHost host;
    auto r = RunText(host, "proc other()\nendproc\n");
    EXPECT_EQ(r.result, 17);
    EXPECT_EQ(r.output, "");
}

TEST(Declarations, BlankBeforeTheParenthesisIsState2) {
    FakeScriptHost host;
    EXPECT_EQ(RunText(host, "proc main ()\nendproc\n").result, 2);
}

TEST(Declarations, MissingEndprocOrParenthesisIsState2) {
    FakeScriptHost host;
    EXPECT_EQ(RunText(host, "proc main()\nout \"x\"\n").result, 2);
    EXPECT_EQ(RunText(host, "proc main(\n").result, 2);
}

TEST(Declarations, RedefinitionsAreState16) {
    FakeScriptHost host;
    EXPECT_EQ(RunText(host, "proc a()\nendproc\nproc a()\nendproc\nproc main()\nendproc\n").result,
              16);
    EXPECT_EQ(RunText(host, "proc log()\nendproc\nproc main()\nendproc\n").result, 16);
    EXPECT_EQ(RunText(host, "public x\npublic x\nproc main()\nendproc\n").result, 16);
    EXPECT_EQ(RunText(host, "proc main(a, a)\nendproc\n", "1 2").result, 16);
}

TEST(Declarations, SixteenProceduresLoadSeventeenDoNot) {
    FakeScriptHost host;
    std::string procs;
    for (int i = 0; i < 15; ++i) procs += "proc p" + std::to_string(i) + "()\nendproc\n";
    procs += "proc main()\np3()\nout \"ran\"\nendproc\n";
    auto sixteen = RunText(host, procs);
    EXPECT_EQ(sixteen.output, "ran");
    EXPECT_EQ(sixteen.state, 1u);

    auto seventeen = RunText(host, "proc extra()\nendproc\n" + procs);
    EXPECT_EQ(seventeen.result, 18);
    EXPECT_EQ(seventeen.output, "");
}

TEST(Declarations, SurplusFormalOfMainIsUndeclared) {
    FakeScriptHost host;
    const std::string text = "proc main(a, b)\nout a\nout b\nendproc\n";
    auto r = RunText(host, text, "one");
    EXPECT_EQ(r.state, 8u);
    EXPECT_EQ(r.output.substr(0, 3), "one");
}

TEST(Declarations, PublicsBeforeAndInsideProceduresAreDeclared) {
    FakeScriptHost host;
    auto r = RunText(host,
                     "public g\n"
                     "proc set()\npublic h\ng = \"G\"\nh = \"H\"\nendproc\n"
                     "proc main()\nset()\nout g + h\nendproc\n");
    EXPECT_EQ(r.output, "GH");
}

TEST(Declarations, CyrillicNameIsOneWord) {
    FakeScriptHost host;
    // "имя" in code page 866.
    const std::string name = "\xa8\xac\xef";
    auto r = RunText(host, "proc main()\nprivate " + name + "\n" + name + " = \"v\"\nout " + name +
                               "\nendproc\n");
    EXPECT_EQ(r.output, "v");
    EXPECT_LT(script::VariableTable::Chain(name), 16u);
}

}  // namespace
}  // namespace orvana
