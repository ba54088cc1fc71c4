#include "transfer/ftp_download.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "core/client_session.h"
#include "core/server.h"
#include "receivers/receiver.h"
#include "transfer/ftp_client.h"
#include "transfer/transfer_session.h"

namespace orvana {
namespace {

constexpr size_t kPipePiece = 2048;

// The server's listening address, unless it names no one place (any address, or loopback): then
// the machine's own address.
std::string DataAddress(Server& server) {
    const std::string& listen = server.listen_address();
    if ((listen == "0.0.0.0" || listen == "127.0.0.1") && !server.host_address().empty())
        return server.host_address();
    return listen;
}

}  // namespace

bool StartFtpDownload(TransferSession& s, ClientSession& client) {
    Server& server = s.server;
    const std::string address = DataAddress(server);
    const uint16_t port = Transfers(server).NextFtpPort();
    try {
        platform::Ipv4Endpoint at;
        at.port = port;
        if (!platform::ParseDotted(address, &at.address)) {
            platform::SetLastSocketError(10049);
            throw CBlockingSocketException("Bind");
        }
        s.listening_socket.Create(1);
        s.listening_socket.Bind(at);
        s.listening_socket.Listen(1);
        auto ftp = std::make_unique<FtpClient>(server, s.receiver_name, port, address, s.request);
        const std::string error = ftp->error_text();
        {
            std::lock_guard<std::mutex> parts(s.parts_lock);
            s.ftp = std::move(ftp);
        }
        if (!error.empty()) {
            client.reply = "ER:Logon failed!/" + error;
            return false;
        }
        platform::Ipv4Endpoint peer;
        s.listening_socket.Accept(s.data_socket, &peer, true);
    } catch (const CBlockingSocketException& e) {
        char text[256];
        std::snprintf(text, sizeof text, "   %s(FTP/PIPE %s:%u - ", s.receiver_name.c_str(),
                      address.c_str(), static_cast<unsigned>(port));
        std::string report = text;
        e.Report(report, &server.log());
        client.reply = report;
        return false;
    }
    s.listening_socket.Cleanup();
    return true;
}

void FtpPipeThread(TransferSession& s) {
    Server& server = s.server;
    server.log().WriteLine(s.primary->receiver_name + " Download thread started.");
    unsigned block = s.start_block;
    // The bytes before the offset asked for are not the client's.
    uint64_t skip = s.offset;
    std::vector<uint8_t> buffer(BlockBuffer::kMessagePrefix + kPipePiece);
    const int wait_seconds = static_cast<int>((server.options().transfer_wait_ms + 999) / 1000);
    int n = 0;
    for (;;) {
        n = s.data_socket.Receive(buffer.data() + BlockBuffer::kMessagePrefix,
                                  static_cast<int>(kPipePiece), wait_seconds);
        if (n < 1 || s.cancel) break;
        size_t from = 0;
        if (skip > 0) {
            from = skip < static_cast<uint64_t>(n) ? static_cast<size_t>(skip)
                                                   : static_cast<size_t>(n);
            skip -= from;
            if (from == static_cast<size_t>(n)) continue;
        }
        const size_t length = static_cast<size_t>(n) - from;
        uint8_t* data = buffer.data() + BlockBuffer::kMessagePrefix + from;
        WriteDataPrefix(data - BlockBuffer::kMessagePrefix, block, length);
        const std::string_view message(
            reinterpret_cast<const char*>(data) - BlockBuffer::kMessagePrefix,
            BlockBuffer::kMessagePrefix + length);
        if (!s.SendToClient(message)) break;
        ++block;
    }
    s.result = n == 0 && !s.cancel ? "RE:Complete Downloading." : "ER:Incomplete Downloading.";
    char line[160];
    std::snprintf(line, sizeof line, "%s Download thread stopped NBL=%u SBL=%d ",
                  s.primary->receiver_name.c_str(), block, static_cast<int>(kPipePiece));
    server.log().WriteLine(line + s.result);
}

}  // namespace orvana
