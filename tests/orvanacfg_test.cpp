// The operator's store tool, run as a program on real store files.

#include <gtest/gtest.h>

#include "tests/orvanasim_harness.h"
#include "tests/server_harness.h"
#include "tests/support/test_env.h"

namespace orvana {
namespace {

using test::RunProgram;

const char* kMain = "Software\\Zelmar\\Orvana\\Config\\Main";

class OrvanacfgTest : public ::testing::Test {
  protected:
    test::ProgramResult Cfg(std::vector<std::string> args) {
        args.insert(args.begin(), {"--store", store_});
        return RunProgram("orvanacfg", args);
    }
    void ExpectOk(const std::vector<std::string>& args) {
        auto r = Cfg(args);
        EXPECT_EQ(r.status, 0) << r.err;
    }
    // Every failure is exactly one line on stderr and a non-zero status.
    void ExpectFailure(const std::vector<std::string>& args, const std::string& fragment) {
        auto r = Cfg(args);
        EXPECT_NE(r.status, 0);
        EXPECT_NE(r.err.find(fragment), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    test::TempDir dir_;
    std::string store_ = dir_.File("orvanasrv.db");
};

const char* kStation =
    "REGEDIT4\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Zelmar\\Orvana\\Config]\r\n"
    "\"CurrentConfig\"=\"Main\"\r\n"
    "\"LogFile\"=dword:00000000\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Zelmar\\Orvana\\Config\\Main]\r\n"
    "\"IPAdress\"=\"0.0.0.0\"\r\n"
    "\"PortServer\"=\"8000\"\r\n"
    "\"Scripts\"=\"C:\\\\Station\\\\Scripts\\\\\"\r\n"
    "\"ModifyLogFileName\"=dword:00000018\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Zelmar\\Orvana\\Config\\Main\\Receivers]\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Zelmar\\Orvana\\Config\\Main\\Receivers\\base]\r\n"
    "\"Interface\"=\"TCP 10.1.1.5:8002\"\r\n"
    "\"EnableRcv\"=\"1\"\r\n"
    "\"Comment\"=\"roof \\\"north\\\" \xC0\xE1\"\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Zelmar\\Orvana\\Config\\Main\\Users]\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Zelmar\\Orvana\\Config\\Main\\Users\\ann]\r\n"
    "\"EnableUser\"=\"1\"\r\n"
    "\"CountUsr\"=dword:ffffffff\r\n"
    "\r\n";

TEST_F(OrvanacfgTest, RegFileRoundTripsExactly) {
    test::WriteFile(dir_.File("in.reg"), kStation);
    ExpectOk({"import", dir_.File("in.reg")});
    auto first = Cfg({"export", "Software\\Zelmar\\Orvana\\Config"});
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.out, kStation);

    test::WriteFile(dir_.File("out.reg"), first.out);
    std::string other = dir_.File("other.db");
    auto imported = RunProgram("orvanacfg", {"--store", other, "import", dir_.File("out.reg")});
    ASSERT_EQ(imported.status, 0) << imported.err;
    auto second = RunProgram("orvanacfg", {"--store", other, "export"});
    ASSERT_EQ(second.status, 0) << second.err;
    // The whole-hive export adds the parent keys in front of the same sections.
    EXPECT_NE(second.out.find(first.out.substr(10)), std::string::npos);
    auto third = RunProgram("orvanacfg", {"--store", other, "export",
                                          "HKEY_LOCAL_MACHINE\\software\\zelmar\\orvana\\config"});
    EXPECT_EQ(third.out, first.out);
}

TEST_F(OrvanacfgTest, ImportTakesTheWindowsFormsAndDeletions) {
    ExpectOk({"set", std::string(kMain) + "\\Receivers\\old", "Interface", "--text", "COM 3"});
    ExpectOk({"set", kMain, "ViewMaxLine", "--number", "100"});
    // Version 5 header, LF line ends, a comment, key deletion and value deletion.
    test::WriteFile(
        dir_.File("v5.reg"),
        "Windows Registry Editor Version 5.00\n\n"
        "; moved from the old station\n"
        "[-HKEY_LOCAL_MACHINE\\Software\\Zelmar\\Orvana\\Config\\Main\\Receivers\\old]\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Zelmar\\Orvana\\Config\\Main]\n"
        "\"ViewMaxLine\"=-\n"
        "\"TimeKillLog\"=DWORD:0000001E\n");
    ExpectOk({"import", dir_.File("v5.reg")});
    ExpectFailure({"keys", std::string(kMain) + "\\Receivers\\old"}, "no key");
    ExpectFailure({"get", kMain, "ViewMaxLine"}, "no value");
    auto r = Cfg({"get", kMain, "timekilllog"});
    EXPECT_EQ(r.out, "30\n");

    // UTF-16LE with a byte order mark, as the Windows editor saves it.
    std::string utf16 = "\xFF\xFE";
    for (char c : std::string("Windows Registry Editor Version 5.00\r\n\r\n"
                              "[HKEY_LOCAL_MACHINE\\Software\\X]\r\n\"N\"=\"")) {
        utf16 += c;
        utf16 += '\0';
    }
    utf16 += std::string("\x16\x04", 2);  // CYRILLIC CAPITAL LETTER ZHE, 0xC6 in code page 1251
    utf16 += std::string("\"\0\r\0\n\0", 6);
    test::WriteFile(dir_.File("u16.reg"), utf16);
    ExpectOk({"import", dir_.File("u16.reg")});
    EXPECT_EQ(Cfg({"get", "Software\\X", "N"}).out, "\xC6\n");
}

TEST_F(OrvanacfgTest, BrokenRegFileImportsNothingAndNamesTheLine) {
    ExpectOk({"set", kMain, "PortServer", "--text", "8000"});
    const char* cases[][2] = {
        {"REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\A]\n\"x\"=\"1\"\n\"y\"=dword:zz\n", "line 5"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\A]\n\"x\"=\"open\n", "line 3"},
        {"REGEDIT4\n[HKEY_CURRENT_USER\\Software\\A]\n", "line 2"},
        {"REGEDIT4\n\"x\"=\"1\"\n", "line 2"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\A]\n\"b\"=hex:00,01\n", "line 3"},
        {"[HKEY_LOCAL_MACHINE\\Software\\A]\n", "line 1"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\A\n", "line 2"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\A]\n\"x\"=dword:123456789\n", "line 3"},
    };
    std::string before = Cfg({"export"}).out;
    for (auto& c : cases) {
        test::WriteFile(dir_.File("bad.reg"), c[0]);
        ExpectFailure({"import", dir_.File("bad.reg")}, c[1]);
        EXPECT_EQ(Cfg({"export"}).out, before) << c[0];
    }
}

TEST_F(OrvanacfgTest, VerbsReportErrorsOnOneLine) {
    ExpectOk({"set", kMain, "IPAdress", "--text", "127.0.0.1"});
    ExpectOk({"set", kMain, "ProCon", "--number", "0xFF"});
    ExpectOk({"set", std::string(kMain) + "\\Users\\b", "Password", "--text", ""});
    ExpectOk({"set", std::string(kMain) + "\\Users\\A", "Password", "--text", "x"});
    EXPECT_EQ(Cfg({"get", kMain, "ipadress"}).out, "127.0.0.1\n");
    EXPECT_EQ(Cfg({"keys", std::string(kMain) + "\\users"}).out, "A\nb\n");
    EXPECT_EQ(Cfg({"values", kMain}).out, "IPAdress\ttext\t127.0.0.1\nProCon\tnumber\t255\n");
    ExpectOk({"delete", kMain, "ProCon"});
    ExpectOk({"delete", std::string(kMain) + "\\Users"});
    ExpectFailure({"keys", std::string(kMain) + "\\Users"}, "no key");
    ExpectFailure({"get", kMain, "Nothing"}, "no value");
    ExpectFailure({"set", kMain, "N", "--number", "4294967296"}, "not a 32-bit number");
    ExpectFailure({"set", kMain, "N", "--number", "12ab"}, "not a 32-bit number");
    ExpectFailure({"set", kMain, "N", "--float", "1"}, "--text or --number");
    ExpectFailure({"frobnicate"}, "unknown verb");
    ExpectFailure({"import", dir_.File("missing.reg")}, "missing.reg");
    ExpectFailure({"delete", ""}, "whole store");
}

TEST_F(OrvanacfgTest, RefusesAFileThatIsNotAStore) {
    std::string notes = dir_.File("notes.txt");
    test::WriteFile(notes, "station log book\n");
    auto r = RunProgram("orvanacfg", {"--store", notes, "set", kMain, "A", "--text", "b"});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("not a configuration store"), std::string::npos) << r.err;
    EXPECT_EQ(test::ReadFile(notes), "station log book\n");
}

TEST(OrvanacfgPorts, ALinkTheToolMakesIsTheServersPortAndAMissingOneIsNamed) {
    test::ServerProcess server;
    server.AddUser("ann", "pw", 4);
    server.AddReceiver("Base", true, "COM 5");
    server.AddReceiver("Gone", true, "COM 6");
    simtest::Sim sim;
    const auto terminal = sim.StartPty({});
    ASSERT_TRUE(terminal);
    const std::string ports = server.home() + "/ports";
    test::ProgramResult r = RunProgram("orvanacfg", {"--ports", ports, "port", "COM5", *terminal});
    ASSERT_EQ(r.status, 0) << r.err;
    r = RunProgram("orvanacfg", {"--ports", ports, "port", "COM7", "/dev/serial/by-id/none"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("warning: /dev/serial/by-id/none is not there now"), std::string::npos);
    r = RunProgram("orvanacfg", {"--ports", ports, "ports"});
    EXPECT_EQ(r.out, "COM5\t" + *terminal + "\nCOM7\t/dev/serial/by-id/none (missing)\n");
    EXPECT_EQ(RunProgram("orvanacfg", {"--ports", ports, "port", "COM7", "-"}).status, 0);
    EXPECT_NE(RunProgram("orvanacfg", {"--ports", ports, "port", "COM256", "/dev/null"}).status, 0);
    EXPECT_NE(RunProgram("orvanacfg", {"--ports", ports, "port", "COM2", "ttyS1"}).status, 0);

    ASSERT_TRUE(server.Start());
    auto ann = server.Client("OpenUsr ann pw");
    EXPECT_EQ(ann->Ask("OpenRcv Base", 1, 30), "RE:OK.");
    EXPECT_EQ(ann->Ask("Command print,/par/rcv/model", 1, 30), "RE00ASIM-GNSS-1");
    EXPECT_EQ(ann->Ask("OpenRcv Gone", 2, 30), "ER:Can't open receiver:Gone");
    EXPECT_TRUE(server.WaitForLog("COM No such file or directory (no link COM6 in " + ports +
                                  ": orvanacfg port COM6 DEVICE makes one)"))
        << server.LogText();
}

}  // namespace
}  // namespace orvana
