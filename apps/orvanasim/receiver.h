#pragma once
// One simulated receiver serving one host connection: command lines in, replies and data
// containers out, and the block transfers of its /log/ folder.
//
// Replies: "RE" (or "ER") + three hex digits of body length + body, where the body starts with
// the command's tag when it had one. A command whose reply body would be empty (an untagged set,
// em, dm, init) gets no reply. Errors are "ER" replies with the body "{code,text}":
//   1 unknown command or parameter   2 line checksum wrong   3 bad argument
//   4 file not found or not writable 5 message unknown
// Lines received while the host's line speed differs from the receiver's are dropped unanswered
// (that is what garbled bytes would come to), and nothing is sent while the speeds differ.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "apps/orvanasim/block_transfer.h"
#include "apps/orvanasim/command_line.h"
#include "apps/orvanasim/options.h"
#include "apps/orvanasim/output_list.h"
#include "apps/orvanasim/serve.h"
#include "apps/orvanasim/sim_log.h"

namespace orvana::sim {

// Where the receiver's bytes go.
class Link {
  public:
    virtual ~Link() = default;
    // Writes all bytes; false when the host is gone.
    virtual bool Write(std::string_view bytes) = 0;
    // The receiver's own line speed (a no-op on TCP).
    virtual bool SetOwnSpeed(uint32_t) { return true; }
    // False while the host side runs at another speed than the receiver.
    virtual bool PeerAtOwnSpeed() const { return true; }
    // Waits until written bytes have left, before a speed change.
    virtual void Drain() {}
};

class SimReceiver {
  public:
    SimReceiver(const Options& options, Link& link, std::string term, Transcript* transcript);

    void Feed(std::string_view bytes, uint32_t now);
    // Sends the containers that are due and runs the upload's timers.
    void Tick(uint32_t now);
    // How long the caller may wait for input before the next Tick is needed.
    uint32_t MsUntilWork(uint32_t now, uint32_t cap) const;
    // The link failed, or a disconnect fault fired: the connection is to be dropped.
    bool Broken() const { return broken_; }

  private:
    enum class Mode { Lines, Download, Upload };

    bool Flooding() const { return options_.flood || FloodSwitchedOn(); }
    void FeedLines(std::string_view bytes, uint32_t now);
    void FeedDownload(std::string_view bytes, uint32_t now);
    void FeedUpload(std::string_view bytes, uint32_t now);
    void HandleLine(const std::string& line, uint32_t now);
    void Execute(const Command& command, uint32_t now);

    void Print(const std::string& tag, const std::string& args);
    void Set(const std::string& tag, const std::string& args);
    void Enable(const std::string& tag, const std::string& args, uint32_t now);
    void Disable(const std::string& tag, const std::string& args);
    void List(const std::string& tag, const std::string& args);
    void StartDownload(const std::string& tag, const std::string& args);
    void StartUpload(const std::string& tag, const std::string& args, uint32_t now);
    void Remove(const std::string& tag, const std::string& args);
    void LoadFirmware(const std::string& tag, const std::string& args);

    void Reply(const std::string& tag, const std::string& body);
    void Error(const std::string& tag, int code, const std::string& text);
    void Emit(std::string_view bytes, bool is_reply);
    // "/log/NAME" to a path in the files folder; empty when not allowed.
    std::string LogFilePath(const std::string& receiver_path) const;
    bool IsOwnPort(const std::string& port) const;

    const Options& options_;
    Link& link_;
    std::string term_;
    Transcript* transcript_;
    LineAssembler lines_;
    OutputSchedule output_;
    Mode mode_ = Mode::Lines;
    uint32_t speed_;
    bool rtscts_ = false;
    std::vector<std::pair<std::string, std::string>> settings_;
    uint32_t stream_sequence_ = 0;
    uint64_t bytes_sent_ = 0;
    bool broken_ = false;
    bool warned_speed_ = false;

    std::unique_ptr<DownloadSender> download_;

    struct Upload {
        std::string path;
        std::string name;
        std::unique_ptr<UploadReceiver> frames;
        uint32_t next_ask = 0;
        uint32_t last_byte = 0;
        bool any_bytes = false;
        int fruitless_asks = 0;
    };
    Upload upload_;
};

// The rates a receiver port accepts.
bool IsReceiverRate(long rate);

}  // namespace orvana::sim
