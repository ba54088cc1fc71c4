// Loading a script: the Run argument's name and parameters, the files it may and may not read,
// include expansion and its limits, and the declaration pass with its state codes.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "script/script_loader.h"
#include "script/state_codes.h"
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
    // A trailing blank gives an empty last parameter.
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

// Files beside the script, the script, its parameters, and what the run gives.
struct LoadCase {
    std::map<std::string, std::string> files;
    std::string text, parameters, output;
    int result;
};

void ExpectLoads(const std::vector<LoadCase>& cases) {
    for (const LoadCase& c : cases) {
        FakeScriptHost host;
        host.files = c.files;
        auto r = RunText(host, c.text, c.parameters);
        EXPECT_EQ(r.output, c.output) << c.text;
        EXPECT_EQ(r.result, c.result) << c.text;
    }
}

const char* kGone = "ER:File name don't exist!";
const char* kItself = "ER:File include itself!";
const std::string kEmptyMain = "proc main()\nendproc\n";

TEST(Includes, ExpansionAndItsRefusals) {
    const std::string name(128, 'n');
    ExpectLoads({
        {{{"lib.inc", "proc hello()\nout \"hi\"\nendproc"}},
         "#include lib.inc\nproc main()\nhello()\nout \"!\"\nendproc\n",
         "",
         "hi!",
         1},
        // A commented-out directive is left alone.
        {{}, "proc main()\nrem \t #include missing.inc\nout \"ok\"\nendproc\n", "", "ok", 1},
        // Inside a literal it is expanded, with the line feed that loading adds.
        {{{"word", "inside"}},
         "proc main()\nout \"<#include word >\"\nendproc\n",
         "",
         "<inside\n >",
         1},
        {{{"v.inc", "out \"v\""}},
         "proc main()\n#include v.inc\n#include v.inc\nendproc\n",
         "",
         "vv",
         1},
        {{}, "#include gone.inc\n" + kEmptyMain, "", kGone, -1},
        {{{name, ""}, {name.substr(0, 127), ""}},
         "#include " + name + "\n" + kEmptyMain,
         "",
         kGone,
         -1},
        {{{"self.inc", "rem x\n#include self.inc\n"}},
         "#include self.inc\n" + kEmptyMain,
         "",
         kItself,
         -1},
        {{{"a.inc", "#include b.inc\n"}, {"b.inc", "#include ./a.inc\n"}},
         "#include a.inc\n" + kEmptyMain,
         "",
         kItself,
         -1},
        {{{"back.inc", "#include t.scr\n"}}, "#include back.inc\n" + kEmptyMain, "", kItself, -1},
    });
}

TEST(ScriptSize, TextOf65536BytesOrIncludesGrowingPastItAreTooBig) {
    FakeScriptHost host;
    const std::string head = "proc main()\nout \"ok\"\nendproc\n";
    std::string fits = head + std::string(65535 - 1 - head.size(), ' ');
    host.files["t.scr"] = fits;
    EXPECT_EQ(RunScript(host, "t").output, "ok");
    host.files["t.scr"] = fits + " ";
    auto r = RunScript(host, "t");
    EXPECT_EQ(r.output, "ER:Container very big!");
    EXPECT_EQ(r.result, 0);

    // Includes that grow past the limit are too big.
    host.files["big"] = std::string(40000, ' ');
    r = RunText(host, "#include big\n#include big\nproc main()\nendproc\n");
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

TEST(Declarations, StateCodesOfTheDeclarationPass) {
    const std::string cyrillic = "\xa8\xac\xef";  // "имя" in code page 866: one word
    ExpectLoads({
        {{}, "proc other()\nendproc\n", "", "", script::kNoMain},
        {{}, "proc main ()\nendproc\n", "", "", script::kUndeclaredIdentifier},
        {{}, "proc main()\nout \"x\"\n", "", "", script::kUndeclaredIdentifier},
        {{}, "proc main(\n", "", "", script::kUndeclaredIdentifier},
        {{}, "proc a()\nendproc\nproc a()\nendproc\n" + kEmptyMain, "", "", script::kRedefinition},
        {{}, "proc log()\nendproc\n" + kEmptyMain, "", "", script::kRedefinition},
        {{}, "public x\npublic x\n" + kEmptyMain, "", "", script::kRedefinition},
        {{}, "proc main(a, a)\nendproc\n", "1 2", "", script::kRedefinition},
        {{},
         "public g\nproc set()\npublic h\ng = \"G\"\nh = \"H\"\nendproc\n"
         "proc main()\nset()\nout g + h\nendproc\n",
         "",
         "GH",
         1},
        {{},
         "proc main()\nprivate " + cyrillic + "\n" + cyrillic + " = \"v\"\nout " + cyrillic +
             "\nendproc\n",
         "",
         "v",
         1},
    });
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

}  // namespace
}  // namespace orvana
