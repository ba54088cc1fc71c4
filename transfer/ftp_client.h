#pragma once
// The small FTP client that asks a receiver's own FTP server for a log file in active mode: the
// fixed dialogue from the greeting to RETR on construction, QUIT on destruction.

#include <cstdint>
#include <string>
#include <string_view>

#include "core/blocking_socket.h"

namespace orvana {

class Server;

class FtpClient {
  public:
    static constexpr uint16_t kControlPort = 21;
    static constexpr uint32_t kReplyWaitMs = 66000;
    static constexpr size_t kReplyCapacity = 1024;

    // Connects to the host of the receiver's interface and runs the dialogue up to RETR; the
    // data connection is then expected at `data_address`:`data_port`. Throws the connect's
    // CBlockingSocketException; a reply that does not fit leaves error_text() not empty.
    FtpClient(Server& server, const std::string& receiver_name, uint16_t data_port,
              const std::string& data_address, const std::string& file_name);
    ~FtpClient();
    FtpClient(const FtpClient&) = delete;
    FtpClient& operator=(const FtpClient&) = delete;

    // Empty while the dialogue succeeds; else the reply that failed it.
    const std::string& error_text() const { return error_text_; }

    // A dialogue entry is the expected reply code glued to the command sent ("331USER Any\r\n").
    static std::string PortEntry(const std::string& data_address, uint16_t data_port);

  private:
    bool SendCommand(std::string_view entry);
    bool CheckReply(std::string_view entry);

    Server& server_;
    std::string reply_;  // every reply of the control connection, appended
    std::string error_text_;
    std::string label_;
    bool failed_ = false;
    uint32_t wait_ms_;
    CBlockingSocket control_;
};

// Whether a reply fits a dialogue entry: its first digit is the entry's.
bool FtpReplyFits(std::string_view reply, std::string_view entry);

}  // namespace orvana
