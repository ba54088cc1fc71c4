#pragma once
// Some tests need what only namespaces of their own give without privileges: an address beside
// loopback, a small file system that fills up, a read-only mount. Such a test begins with
//     if (test::RerunInNamespace("-rm")) return;
// In the test program it runs the same test again in a child under `unshare -rm` and takes the
// child's verdict (skipped where namespaces are not allowed); in that child it returns false and
// the test goes on, as root of its own namespaces.

#include <string>

namespace orvana::test {

// True in the parent, which must return at once; false in the child.
bool RerunInNamespace(const std::string& unshare_flags);

// Runs a shell command line in the namespace (mount, ip); its exit status.
int Shell(const std::string& command);

}  // namespace orvana::test
