#include "transfer/ftp_client.h"

#include <algorithm>
#include <cstdio>

#include "core/config_keys.h"
#include "core/server.h"
#include "platform/clock.h"

namespace orvana {

bool FtpReplyFits(std::string_view reply, std::string_view entry) {
    return !reply.empty() && !entry.empty() && reply[0] == entry[0];
}

std::string FtpClient::PortEntry(const std::string& data_address, uint16_t data_port) {
    std::string address = data_address;
    std::replace(address.begin(), address.end(), '.', ',');
    char entry[96];
    std::snprintf(entry, sizeof entry, "200PORT %s,%u,%u\r\n", address.c_str(),
                  static_cast<unsigned>(data_port >> 8), static_cast<unsigned>(data_port & 0xFF));
    return entry;
}

FtpClient::FtpClient(Server& server, const std::string& receiver_name, uint16_t data_port,
                     const std::string& data_address, const std::string& file_name)
    : server_(server), wait_ms_(std::min(kReplyWaitMs, server.options().transfer_wait_ms)) {
    const ConfigStore& store = server.store();
    const std::string interface_text =
        store.ReadText(server.receivers_path() + receiver_name, cfg::kInterface.name, "");
    label_ = "   " + receiver_name + "(" + interface_text + ")";
    const std::string password =
        store.ReadText(server.interface_path() + interface_text, cfg::kInterfacePassword);
    std::string host = interface_text;
    if (const size_t blank = host.find(' '); blank != std::string::npos) host.erase(0, blank + 1);
    if (const size_t colon = host.find(':'); colon != std::string::npos) host.resize(colon);
    control_.Create(1);
    control_.Connect(CBlockingSocket::GetHostByName(host, kControlPort));
    const std::string entries[] = {"331USER Any\r\n", "230PASS " + password + "\r\n",
                                   "200TYPE I\r\n", PortEntry(data_address, data_port),
                                   "150RETR " + file_name + "\r\n"};
    if (!CheckReply("220")) return;
    for (const std::string& entry : entries)
        if (!SendCommand(entry)) return;
}

FtpClient::~FtpClient() {
    if (!failed_) SendCommand("226QUIT\r\n");
    control_.Cleanup();
}

bool FtpClient::SendCommand(std::string_view entry) {
    if (!control_.IsOpen() || entry.size() <= 3) return false;
    const std::string_view command = entry.substr(3);
    if (control_.Send(command.data(), static_cast<int>(command.size())) < 1) return false;
    return CheckReply(entry);
}

bool FtpClient::CheckReply(std::string_view entry) {
    const size_t start = reply_.size();
    // A reply may come in pieces: the first piece decides, the rest of its line is awaited so
    // it is not taken for the next reply.
    const uint32_t began = platform::TickCount();
    char piece[kReplyCapacity];
    while (reply_.size() < kReplyCapacity && (reply_.size() == start || reply_.back() != '\n')) {
        const uint32_t spent = platform::TickCount() - began;
        if (spent >= wait_ms_) break;
        const int seconds = static_cast<int>((wait_ms_ - spent + 999) / 1000);
        const int n =
            control_.Receive(piece, static_cast<int>(kReplyCapacity - reply_.size()), seconds);
        if (n <= 0) break;
        reply_.append(piece, static_cast<size_t>(n));
    }
    const std::string_view arrived = std::string_view(reply_).substr(start);
    if (FtpReplyFits(arrived, entry)) return true;
    server_.log().WriteLine(label_ + "\r\n" + reply_);
    error_text_ = std::string(arrived);
    failed_ = true;
    return false;
}

}  // namespace orvana
