#include "apps/orvanasim/block_transfer.h"

namespace orvana::sim {
namespace {

void PutLe16(std::string* s, size_t at, uint16_t v) {
    (*s)[at] = static_cast<char>(v & 0xFF);
    (*s)[at + 1] = static_cast<char>(v >> 8);
}

uint16_t GetLe16(std::string_view s, size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(s[at]) |
                                 (static_cast<unsigned char>(s[at + 1]) << 8));
}

}  // namespace

DownloadSender::DownloadSender(std::string content, size_t offset, size_t block_size, Faults faults)
    : content_(std::move(content)),
      offset_(offset > content_.size() ? content_.size() : offset),
      n_(block_size),
      faults_(faults) {}

std::string DownloadSender::OnControl(unsigned char control) {
    if (control == kBlockAccepted && offered_) {
        if (last_sent_) return {};
        ++block_;
        crc_before_ = crc_after_;
    }
    bool inject = false;
    if (block_ == faults_.crc_error_block && !crc_fault_done_) inject = crc_fault_done_ = true;
    if (block_ == faults_.number_error_block && !number_fault_done_) {
        inject = number_fault_done_ = true;
    }
    offered_ = true;
    return Frame(inject);
}

std::string DownloadSender::Frame(bool inject) {
    size_t start = offset_ + static_cast<size_t>(block_) * n_;
    if (start > content_.size()) start = content_.size();
    size_t valid = content_.size() - start < n_ ? content_.size() - start : n_;
    bool last = start + valid >= content_.size();
    std::string frame(n_ + 6, '\0');
    frame[0] = static_cast<char>(last ? 4 : 2);
    PutLe16(&frame, 1, static_cast<uint16_t>(last ? valid : static_cast<size_t>(block_)));
    frame.replace(3, valid, content_, start, valid);
    // A wrong number goes under a matching CRC, so the host sees a number error, not a CRC one.
    if (inject && block_ == faults_.number_error_block && !last) {
        PutLe16(&frame, 1, static_cast<uint16_t>(block_ + 1));
    }
    crc_after_ = Crc16(crc_before_, std::string_view(frame).substr(0, n_ + 3));
    uint16_t crc_field = crc_after_;
    if (inject && block_ == faults_.crc_error_block) crc_field ^= 0x5555;
    PutLe16(&frame, n_ + 3, crc_field);
    frame[n_ + 5] = 3;
    last_sent_ = last;
    return frame;
}

UploadReceiver::Verdict UploadReceiver::Add(std::string_view bytes, std::string* rest) {
    rest->clear();
    size_t need = n_ + 6 - frame_.size();
    if (bytes.size() < need) {
        frame_.append(bytes);
        return Verdict::Incomplete;
    }
    frame_.append(bytes.substr(0, need));
    rest->assign(bytes.substr(need));
    std::string frame;
    frame.swap(frame_);
    const unsigned char tag = static_cast<unsigned char>(frame[0]);
    const uint16_t number = GetLe16(frame, 1);
    const uint16_t crc = Crc16(crc_, std::string_view(frame).substr(0, n_ + 3));
    if (frame[n_ + 5] != 3) {
        last_error_ = "frame end";
    } else if (crc != GetLe16(frame, n_ + 3)) {
        last_error_ = "CRC";
    } else if (tag == 2 && number != static_cast<uint16_t>(expected_)) {
        last_error_ = "block number";
    } else if (tag == 4 && number > n_) {
        last_error_ = "last block length";
    } else if (tag != 2 && tag != 4) {
        last_error_ = "tag";
    } else {
        crc_ = crc;
        ++expected_;
        content_.append(frame, 3, tag == 4 ? number : n_);
        return tag == 4 ? Verdict::Finished : Verdict::Accepted;
    }
    return Verdict::Rejected;
}

}  // namespace orvana::sim
