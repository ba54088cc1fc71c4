// The Debian package as a new user gets it: made by CPack from this build, its contents and
// control data, its systemd unit checked by systemd-analyze, and the packaged programs run by
// hand from the unpacked tree (a test machine has no systemd to start the service with).

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/test_env.h"

namespace orvana {
namespace {

using test::RunProgram;

// Standard output of a shell command that must succeed.
std::string Shell(const std::string& command) {
    const test::ProgramResult r = RunProgram("/bin/sh", {"-c", command}, 180000);
    EXPECT_EQ(r.status, 0) << command << "\n" << r.out << r.err;
    return r.out;
}

// One package made for all three looks at it: CPack takes a while.
TEST(Package, AsANewUserGetsIt) {
    test::TempDir dir;
    const std::string build =
        std::filesystem::path(test::ProgramPath("orvanasrv")).parent_path().parent_path().string();
    Shell("cd '" + build + "' && cpack -G DEB -B '" + dir.path() + "' >/dev/null");
    const std::string deb = dir.File("orvanasrv_1.4.0_amd64.deb");
    const std::string root = dir.File("root");
    Shell("dpkg-deb -x " + deb + " " + root);

    // What it holds and needs.
    const std::string listing = Shell("dpkg-deb -c " + deb);
    for (const char* path :
         {"./usr/bin/orvanasrv", "./usr/bin/orvanacfg", "./usr/bin/orvanacli",
          "./usr/bin/orvanasim", "./usr/share/man/man8/orvanasrv.8.gz",
          "./usr/share/man/man1/orvanacfg.1.gz", "./usr/share/man/man1/orvanacli.1.gz",
          "./usr/share/man/man1/orvanasim.1.gz", "./usr/lib/systemd/system/orvanasrv.service",
          "./usr/share/orvanasrv/default.reg", "./usr/share/doc/orvanasrv/copyright",
          "./usr/share/doc/orvanasrv/changelog.gz"})
        EXPECT_NE(listing.find(std::string(path) + "\n"), std::string::npos) << path << listing;
    const std::string info = Shell("dpkg-deb -I " + deb);
    EXPECT_NE(info.find("Package: orvanasrv\n"), std::string::npos) << info;
    for (const char* needed : {"adduser", "libsqlite3-0", "libsystemd0", "libusb-1.0-0"})
        EXPECT_NE(info.find(needed), std::string::npos) << needed << info;
    for (const char* script : {"postinst", "prerm", "postrm"})
        EXPECT_NE(info.find(script), std::string::npos) << script;
    EXPECT_NE(Shell("dpkg-deb -I " + deb + " postinst").find("/usr/share/orvanasrv/default.reg"),
              std::string::npos);
    EXPECT_EQ(Shell("gzip -t " + root + "/usr/share/man/man8/orvanasrv.8.gz && echo ok"), "ok\n");
    // Debian's own checks find neither errors nor warnings, in the console's package too.
    if (std::filesystem::exists("/usr/bin/lintian")) {
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            if (entry.path().extension() != ".deb") continue;
            const test::ProgramResult r = RunProgram("lintian", {entry.path().string()}, 180000);
            EXPECT_EQ(r.out.find("E: "), std::string::npos) << r.out;
            EXPECT_EQ(r.out.find("W: "), std::string::npos) << r.out;
        }
    }

    // The unit, checked by systemd with the program and man page where they were unpacked.
    const std::string unit = test::ReadFile(root + "/usr/lib/systemd/system/orvanasrv.service");
    EXPECT_NE(unit.find("Type=notify\n"), std::string::npos);
    EXPECT_NE(unit.find("SupplementaryGroups=dialout"), std::string::npos);
    EXPECT_NE(unit.find("ExecReload=/bin/kill -HUP $MAINPID"), std::string::npos);
    const std::string start = "ExecStart=/usr/bin/orvanasrv --headless --home /var/lib/orvanasrv\n";
    ASSERT_NE(unit.find(start), std::string::npos) << unit;
    std::string here = unit;
    here.replace(here.find("ExecStart=/usr/bin/"), 19, "ExecStart=" + root + "/usr/bin/");
    test::WriteFile(dir.File("orvanasrv.service"), here);
    Shell("MANPATH=" + root + "/usr/share/man systemd-analyze verify " +
          dir.File("orvanasrv.service"));

    // The packaged server on the packaged default configuration, run by hand.
    const std::string home = dir.File("home");
    std::filesystem::create_directories(home);
    const std::string cfg = root + "/usr/bin/orvanacfg --store " + home + "/orvanasrv.db ";
    Shell(cfg + "import " + root + "/usr/share/orvanasrv/default.reg");
    Shell(cfg + "set 'Software\\Zelmar\\Orvana\\Config\\Main' PortServer --text 0");
    platform::Subprocess server;
    std::string error;
    ASSERT_TRUE(server.Start(
        {root + "/usr/bin/orvanasrv", "--headless", "--home", home, "--time-server", "off"},
        &error))
        << error;
    const auto line = server.WaitForLine("Listening on 0.0.0.0:", 10000);
    ASSERT_TRUE(line) << server.Stderr();
    const std::string port = line->substr(line->rfind(':') + 1);
    EXPECT_EQ(Shell(root + "/usr/bin/orvanacli --port " + port +
                    " --user nobody --password x ping; echo status $?"),
              "ER:Cannot find user.\nstatus 1\n");
    server.Signal(15);
    EXPECT_EQ(server.Wait(10000), 0);
    EXPECT_NE(server.StdoutSoFar().find("Server stopped"), std::string::npos);
}

}  // namespace
}  // namespace orvana
