// A receiver's transfer frames as the download takes them: a whole frame of the agreed size is
// judged by its tag and number, checked by its CRC and, when good, passed on as a data message
// of the valid length. A last block's number is the receiver's claim of how many bytes are
// valid: the message must never reach past the block.

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "transfer/block_frame.h"

using namespace orvana;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    // The first two bytes pick the block size, the next two the block expected.
    const size_t block_size = 1 + ReadLe16(data) % kMaxBlockSize;
    const uint16_t expected = ReadLe16(data + 2);
    data += 4;
    size -= 4;
    BlockBuffer block(block_size);
    if (size != block.frame_size()) return 0;  // the download asks again for any other length
    std::memcpy(block.frame(), data, size);
    // The CRC is checked after the judgement; a good one changes nothing that is read here.
    (void)block.ComputeCrc(0);
    size_t length = 0;
    switch (JudgeBlock(block, expected)) {
        case BlockVerdict::kLast:
            length = block.number();
            break;
        case BlockVerdict::kData:
            length = block.block_size();
            break;
        default:
            return 0;
    }
    if (length > block.block_size()) std::abort();
    const std::string_view message = block.DataMessage(expected, length);
    if (message.size() != BlockBuffer::kMessagePrefix + length || message.substr(0, 3) != "IN:")
        std::abort();
    return 0;
}
