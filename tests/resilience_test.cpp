// Faults the server must ride out, found by probing the server binary with the simulator as its
// receiver.

#include <gtest/gtest.h>

#include "admin/admin_requests.h"
#include "tests/streams_harness.h"

namespace orvana {
namespace {

using Resilience = test::StreamsFixture;

// Every frame on a handle that holds an attachment counts, the OpenRcv reply included.
TEST_F(Resilience, BytesSentCountTheRepliesOnTheHandle) {
    Start();
    auto ann = Client("ann");  // "RE:OK." to OpenRcv on handle 1: 6 + 16 bytes
    EXPECT_EQ(Text(ann->Call("Get CList", 0)), admin::ConnectionListHeader());
    EXPECT_EQ(Text(ann->Call("Get CList 2", 0)), "RE:22/");
    EXPECT_EQ(Text(ann->Call("CloseRcv", 1)), "RE:OK. Send=22");
}

}  // namespace
}  // namespace orvana
