#pragma once
// The receiver's end of the block protocol for files in its "/log/" folder.
//
// Frame (n = block size, always n + 6 bytes): tag (2 data, 4 last), 16-bit little-endian number
// (tag 2: block number from 0; tag 4: valid bytes), n data bytes (a last block padded with
// zeros), 16-bit little-endian running CRC-16 over the first n + 3 bytes of every frame so far,
// the byte 3. The host drives a download with control bytes 21 (send, or send again) and 6
// (accepted, send the next); in an upload the receiver sends them.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "transfer/block_frame.h"

namespace orvana::sim {

// A file sent block by block from a start offset.
class DownloadSender {
  public:
    struct Faults {
        long crc_error_block = -1;     // first sending of this block carries a wrong CRC
        long number_error_block = -1;  // first sending of this block carries a wrong number
    };

    DownloadSender(std::string content, size_t offset, size_t block_size, Faults faults);

    // The frame to write for a control byte; empty when the byte asks for nothing (an
    // acknowledgement after the last block).
    std::string OnControl(unsigned char control);
    // True once the last block has been sent.
    bool LastSent() const { return last_sent_; }
    size_t block_size() const { return n_; }

  private:
    std::string Frame(bool inject);

    std::string content_;
    size_t offset_;
    size_t n_;
    Faults faults_;
    long block_ = 0;        // the block being offered
    bool offered_ = false;  // the current block was sent at least once
    uint16_t crc_before_ = 0;
    uint16_t crc_after_ = 0;
    bool last_sent_ = false;
    bool crc_fault_done_ = false;
    bool number_fault_done_ = false;
};

// Frames received from the host, checked and joined.
class UploadReceiver {
  public:
    enum class Verdict { Incomplete, Accepted, Rejected, Finished };

    explicit UploadReceiver(size_t block_size) : n_(block_size) {}
    // Adds received bytes. After a complete frame, the verdict and the bytes not yet used
    // (the next frame's start) stay in `rest`.
    Verdict Add(std::string_view bytes, std::string* rest);
    void DropPartial() { frame_.clear(); }
    bool HasPartial() const { return !frame_.empty(); }
    const std::string& content() const { return content_; }
    size_t blocks() const { return expected_; }
    const std::string& last_error() const { return last_error_; }

  private:
    size_t n_;
    std::string frame_;
    std::string content_;
    size_t expected_ = 0;
    uint16_t crc_ = 0;
    std::string last_error_;
};

}  // namespace orvana::sim
