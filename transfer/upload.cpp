// LoadFirmware: a file of the user's folder sent to the receiver's "/log/" folder block by block
// (the receiver acknowledges), then loaded as the receiver's firmware.

#include <cstdio>
#include <cstring>

#include "core/client_session.h"
#include "core/server.h"
#include "platform/clock.h"
#include "receivers/command_engine.h"
#include "receivers/receiver_table.h"
#include "transfer/load_file.h"
#include "transfer/second_link.h"
#include "transfer/transfer_requests.h"
#include "transfer/transfer_session.h"
#include "transfer/transfer_start.h"

namespace orvana {
namespace {

constexpr uint32_t kAckWaitMs = 9999;
constexpr uint32_t kFirmwareSettleMs = 4999;
constexpr int kSendsPerBlock = 7;     // the first ask and six asks again
constexpr size_t kMaxBlocks = 65535;  // the number field of a data block

// Reads the next piece of the file into the frame; false when the progress message could not
// reach the client or the file could not be read (s.result says which).
bool PrepareBlock(TransferSession& s) {
    BlockBuffer& b = *s.block;
    const long got = s.file->Read(b.data(), b.block_size());
    // A file cut short meanwhile (a new LoadFile of the same name) would never reach its end.
    if (got < 0 || (got == 0 && s.size > 0)) {
        s.result = "ER:Can't read file!";
        return false;
    }
    const auto r = static_cast<size_t>(got);
    s.size -= static_cast<int32_t>(r);
    s.last_block = s.size > 0;  // here: more data follows
    const bool more = s.last_block;
    s.running_crc = b.Seal(more ? kDataTag : kLastTag,
                           static_cast<uint16_t>(more ? s.blocks_done : r), r, s.running_crc);
    ++s.blocks_done;
    if (s.attachment) s.attachment->bytes_sent += static_cast<uint32_t>(r);
    char text[32];
    std::snprintf(text, sizeof text, "INW:%04d %04u", s.blocks_done, static_cast<unsigned>(r));
    return s.SendToClient(text);
}

void UploadThread(TransferSession& s) {
    Server& server = s.server;
    Receiver& link = s.link();
    server.log().WriteLine(s.primary->receiver_name + " Upload thread started.");
    s.result = "ER:Incomplete Downloading.";
    const uint32_t wait_limit = server.options().transfer_wait_ms;
    uint32_t heard = platform::TickCount();
    int sends = 0;
    bool sent_last = false;
    bool go_on = PrepareBlock(s);
    while (go_on && !sent_last) {
        const bool woken = link.raw_input_event.Wait(kAckWaitMs);
        if (s.cancel) {
            s.result = "ER:Cancel.";
            break;
        }
        if (!woken) {
            if (platform::TickCount() - heard >= wait_limit) {
                s.result = kReplyTimeout;
                break;
            }
            continue;
        }
        heard = platform::TickCount();
        uint8_t c = 0;
        if (link.reply.CopyTo(&c, 1) == 0) continue;
        if (c == kBlockAccepted) {
            if (!PrepareBlock(s)) break;
            sends = 0;
        } else if (c >= 33 && c <= 47) {
            char text[48];
            std::snprintf(text, sizeof text, "ER:Aborted with code %#x", c);
            s.result = text;
            break;
        } else if (c != kSendBlock) {
            continue;
        }
        // A receiver that never takes the block must not keep the transfer going for ever.
        if (++sends > kSendsPerBlock) {
            s.result = "ER:Retry > MAX.";
            break;
        }
        SendToReceiver(link, s.block->frame(), s.block->frame_size());
        sent_last = !s.last_block;
    }
    InternalCommand(link, "###\ndm\n", 0);
    link.input_mode = InputMode::kParse;
    if (sent_last) {
        // Every block has gone out: load it.
        InternalCommand(link, "print,/par/rcvid", 6000);
        const std::string id = ReplyText(link, 5);
        if (InternalCommand(link, "%fld%fld," + id + ",/log/" + s.request, 6000))
            s.result = link.last_reply;
    }
    s.cancelled.Wait(kFirmwareSettleMs);
    char line[160];
    std::snprintf(line, sizeof line, "%s Upload thread stopped NBL=%d SBL=%d ",
                  s.primary->receiver_name.c_str(), s.blocks_done, s.block_size);
    server.log().WriteLine(line + s.result);
}

// Up to the receiver's acceptance of the put command; false with the client's reply set.
bool StartUpload(TransferSession& s, ClientSession& client, const std::string& path) {
    Server& server = s.server;
    Receiver& r = *s.primary;
    s.frame_type = kUploadFrame;
    s.ReadSettings();
    s.file = platform::InputFile::Open(path);
    // The receiver's name for it: the file name without its extension.
    std::string name = path.substr(path.find_last_of('/') + 1);
    if (const size_t dot = name.rfind('.'); dot != std::string::npos) name.resize(dot);
    s.request = name;
    if (!s.file || name.empty()) {
        client.reply = "ER:Can't open file!";
        return false;
    }
    const int64_t bytes = s.file->Size();
    if (bytes > static_cast<int64_t>(kMaxBlocks) * s.block_size) {
        client.reply = "ER:File too large!";
        return false;
    }
    s.size = s.total_size = static_cast<int32_t>(bytes);
    s.block = std::make_unique<BlockBuffer>(s.block_size);
    if (r.kind == LinkKind::kTcp) {
        std::string link_error;
        auto second = OpenSecondLink(server, r, s.receiver_name, &link_error);
        if (!second) {
            if (!link_error.empty()) {
                server.log().WriteRaw(link_error);
                client.reply = "ER:Can't open receiver";
            } else {
                client.reply = "ER:Can't open receiver:";
            }
            return false;
        }
        std::lock_guard<std::mutex> parts(s.parts_lock);
        s.second = std::move(second);
    }
    Receiver& link = s.link();
    link.raw_input_event.ResetEvent();
    InternalCommand(link, "%remove%remove,/log/" + name, 6000);
    const std::string put = "%LD%put,/log/" + name + ":{10," + std::to_string(s.block_size) + "},0";
    if (!InternalCommand(link, put, 9000)) {
        client.reply = link.last_reply;
        return false;
    }
    link.input_mode = InputMode::kReplace;
    return true;
}

// Tells the other clients of the receiver that it is taken for a while.
void NotifyOthers(Server& server, const ClientSession& client, const std::string& name) {
    std::vector<std::pair<std::shared_ptr<ClientSession>, uint8_t>> others;
    {
        std::lock_guard<platform::RecursiveLock> guard(server.receiver_table_lock());
        for (unsigned i = 0; i < ClientTable::kSlots; ++i) {
            std::shared_ptr<ClientSession> other = server.clients().Get(i);
            if (!other || other.get() == &client || !other->has_handle_table) continue;
            for (size_t h = 1; h < other->handle_table.size(); ++h)
                if (other->handle_table[h] && other->handle_table[h]->receiver_name == name)
                    others.emplace_back(other, static_cast<uint8_t>(h));
        }
    }
    const std::string notice = "RS:" + name + ",0";
    for (auto& [other, h] : others)
        server.SendFrame(other, h, 0x900, 0, notice.data(), notice.size());
}

}  // namespace

unsigned LoadFirmware(Server& server, std::string_view args, ClientSession& client, uint8_t h) {
    if (!client.super_user) {
        client.reply = "ER:User not authorized to send this command!";
        return 0;
    }
    TransferTarget target;
    if (!FindTransferTarget(server, client, h, &target)) return 0;
    // The file and the load are the other server's (its user folder for this gate's user).
    if (target.receiver->kind == LinkKind::kGate) return PassOnTransfer(target, client);
    const std::string_view name = BareFileName(args);
    if (!IsPlainFileName(name)) {
        client.reply = "ER:Invalid file name!";
        return 0;
    }
    const std::string folder = UserFolder(server, client);
    if (folder.empty()) {
        client.reply = "ER:Can't open file!";
        return 0;
    }
    Receiver& r = *target.receiver;
    // Data messages in the acknowledgements would be taken for them.
    if (r.kind != LinkKind::kTcp) DisableOutput(r);
    auto s = std::make_shared<TransferSession>(server, target.client, target.attachment,
                                               target.receiver, std::string());
    bool ok = StartUpload(*s, client, folder + std::string(name));
    if (ok) ok = LaunchTransfer(s, UploadThread, true, &client.reply);
    if (!ok) {
        EndTransfer(*s);
        return 0;
    }
    NotifyOthers(server, client, target.attachment->receiver_name);
    return 1;
}

}  // namespace orvana
