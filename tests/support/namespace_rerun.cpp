#include "tests/support/namespace_rerun.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "platform/subprocess.h"

namespace orvana::test {
namespace {
constexpr const char* kInNamespace = "ORVANA_IN_NAMESPACE";
}

bool RerunInNamespace(const std::string& unshare_flags) {
    if (std::getenv(kInNamespace) != nullptr) return false;
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    // /proc/self/exe of the child would be unshare; name this test program instead.
    char self[4096] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    EXPECT_GT(n, 0);
    if (n <= 0) return true;
    platform::Subprocess child;
    std::string error;
    const std::vector<std::string> argv{
        "/usr/bin/unshare", unshare_flags, self,
        std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name()};
    if (!child.Start(argv, &error, {std::string(kInNamespace) + "=1"})) {
        ADD_FAILURE() << error;
        return true;
    }
    while (child.ReadLine(120000)) {
    }
    const auto status = child.Wait(120000);
    const std::string out = child.StdoutSoFar();
    if (out.find("[ RUN") == std::string::npos || out.find("[  SKIPPED ]") != std::string::npos) {
        // Marks the test skipped; the caller returns on our true.
        [&] { GTEST_SKIP() << "no namespaces here: " << out << child.Stderr(); }();
        return true;
    }
    EXPECT_EQ(status, 0) << out << child.Stderr();
    return true;
}

int Shell(const std::string& command) {
    return std::system(command.c_str());
}

}  // namespace orvana::test
