// DownloadFile and CancelDownload: a file of the receiver's "/log/" folder, block by block on the
// receiver's link (or its second TCP connection, or its FTP server), passed on to the client as
// "IN:" data messages.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/client_session.h"
#include "core/config_keys.h"
#include "core/server.h"
#include "core/text.h"
#include "platform/clock.h"
#include "receivers/command_engine.h"
#include "receivers/pass_on.h"
#include "receivers/receiver_table.h"
#include "transfer/ftp_download.h"
#include "transfer/second_link.h"
#include "transfer/transfer_requests.h"
#include "transfer/transfer_session.h"
#include "transfer/transfer_start.h"

namespace orvana {
namespace {

constexpr uint32_t kBlockWaitMs = 999;
constexpr int kBadFramesPerBlock = 6;
constexpr uint32_t kGetReplyMs = 6000;

void ReportRetry(TransferSession& s, const char* reason) {
    ++s.retry_count;
    char text[96];
    std::snprintf(text, sizeof text, "RT:%d %s", s.retry_count, reason);
    const Receiver& r = *s.primary;
    s.server.log().WriteLine("DWL:" + r.address + "/" + r.receiver_name + " " + text);
    s.SendToClient(text);
}

// The data length of the next good frame, now in s.block, or 0 to stop (s.result says why).
size_t ReceiveBlock(TransferSession& s) {
    Receiver& link = s.link();
    const size_t frame_size = s.block->frame_size();
    const int entry_retries = s.retry_count;
    const uint32_t wait_limit = s.server.options().transfer_wait_ms;
    uint32_t asked = platform::TickCount();
    // A bad frame is asked for again; the seventh in one block wait ends the transfer.
    auto reject = [&](const char* reason) {
        if (s.retry_count > entry_retries + kBadFramesPerBlock - 1) {
            s.result = "ER:Retry > MAX.";
            return false;
        }
        ReportRetry(s, reason);
        SendControlByte(link, kSendBlock);
        asked = platform::TickCount();
        return true;
    };
    for (;;) {
        link.raw_input_event.Wait(kBlockWaitMs);
        if (s.cancel) {
            s.result = "ER:Cancel.";
            return 0;
        }
        size_t length = 0;
        {
            std::lock_guard<std::recursive_mutex> guard(link.reply.lock());
            length = link.reply.Length();
            char head[2] = {0, 0};
            link.reply.CopyTo(head, 2);
            if (head[0] == 'E' && head[1] == 'R') {
                s.result = link.reply.Text();
                return 0;
            }
            if (length == frame_size) link.reply.CopyTo(s.block->frame(), frame_size);
        }
        if (length > frame_size) {
            // More than a frame never becomes one: ask again rather than wait for nothing.
            if (!reject("Frame length error.")) return 0;
            continue;
        }
        if (length < frame_size) {
            if (platform::TickCount() - asked >= wait_limit) {
                s.result = kReplyTimeout;
                return 0;
            }
            continue;
        }
        const BlockVerdict verdict = JudgeBlock(*s.block, s.blocks_done);
        if (verdict == BlockVerdict::kLast) {
            s.last_block = true;
            return s.block->number();
        }
        if (verdict == BlockVerdict::kData) return s.block->block_size();
        if (!reject(verdict == BlockVerdict::kBadTag ? "Tag error." : "Block number error."))
            return 0;
    }
}

void DownloadThread(TransferSession& s) {
    Server& server = s.server;
    Receiver& link = s.link();
    server.log().WriteLine(s.primary->receiver_name + " Download thread started.");
    s.result = "RE:Complete Downloading.";
    bool reject = true;
    do {
        SendControlByte(link, reject ? kSendBlock : kBlockAccepted);
        const size_t length = ReceiveBlock(s);
        if (length == 0) break;
        const uint16_t kept = s.running_crc;
        const uint16_t computed = s.block->ComputeCrc(kept);
        const uint16_t received = s.block->crc_field();
        reject = computed != received;
        if (reject) {
            s.running_crc = kept;
            s.last_block = false;
            char reason[48];
            std::snprintf(reason, sizeof reason, "Error CRC %04X %04X", computed, received);
            ReportRetry(s, reason);
            continue;
        }
        s.running_crc = computed;
        ++s.blocks_done;
        if (!s.SendToClient(s.block->DataMessage(s.start_block + s.blocks_done % 10000u, length))) {
            s.result = "ER:Client lost.";
            break;
        }
    } while (!s.last_block);
    InternalCommand(link, "###\ndm\n", 0);
    char line[160];
    std::snprintf(line, sizeof line, "%s Download thread stopped NBL=%d SBL=%d ",
                  s.primary->receiver_name.c_str(), s.blocks_done, s.block_size);
    server.log().WriteLine(line + s.result);
}

// Up to the receiver's first block; false with the client's reply set.
bool StartDownload(TransferSession& s, ClientSession& client) {
    Server& server = s.server;
    Receiver& r = *s.primary;
    s.frame_type = kDownloadFrame;
    s.size = 0;
    s.ReadSettings();
    const size_t blank = s.request.find(' ');
    if (blank == std::string::npos) {
        client.reply = "ER:Not file name output.";
        return false;
    }
    const std::string rest = std::string(TrimBlanks(std::string_view(s.request).substr(blank)));
    s.request.resize(blank);
    if (!IsPlainFileName(s.request)) {
        client.reply = "ER:Invalid file name!";
        return false;
    }
    if (!InternalCommand(r, "%WL%print,/log/" + s.request + "&size", kGetReplyMs)) {
        client.reply = "ER:Downloading";
        return false;
    }
    s.size = static_cast<int32_t>(std::strtol(ReplyText(r, 9).c_str(), nullptr, 10));
    long offset = std::strtol(rest.c_str(), nullptr, 10);
    if (offset < 0) offset = 0;
    if (offset > INT32_MAX) offset = INT32_MAX;
    s.offset = static_cast<uint32_t>(offset);
    s.start_block = s.offset / s.block_size;
    if (r.kind == LinkKind::kTcp) {
        if (server.store().ReadFlag(server.interface_path() + r.interface_name, cfg::kUSEFTP))
            return StartFtpDownload(s, client);
        std::string link_error;
        auto second = OpenSecondLink(server, r, s.receiver_name, &link_error);
        if (!second) {
            client.reply = "ER:Can't open receiver:";
            if (!link_error.empty()) client.reply += s.receiver_name;
            return false;
        }
        std::lock_guard<std::mutex> parts(s.parts_lock);
        s.second = std::move(second);
    }
    Receiver& link = s.link();
    const std::string get = "%WL%get,/log/" + s.request + ":{500," + std::to_string(s.block_size) +
                            "}," + std::to_string(offset);
    if (!InternalCommand(link, get, kGetReplyMs)) {
        client.reply = "ER:Logon failed!/" + ReplyText(link, 9);
        return false;
    }
    server.options().sleep(200);
    link.input_mode = InputMode::kAppend;
    s.block = std::make_unique<BlockBuffer>(s.block_size);
    link.raw_input_event.ResetEvent();
    return true;
}

}  // namespace

unsigned DownloadFile(Server& server, std::string_view args, ClientSession& client, uint8_t h) {
    TransferTarget target;
    if (!FindTransferTarget(server, client, h, &target)) return 0;
    Receiver& r = *target.receiver;
    if (r.kind == LinkKind::kGate) return PassOnTransfer(target, client);
    if (r.kind != LinkKind::kTcp) DisableOutput(r);
    auto s = std::make_shared<TransferSession>(server, target.client, target.attachment,
                                               target.receiver, std::string(args));
    bool ok = StartDownload(*s, client);
    if (ok) {
        auto body = s->ftp ? FtpPipeThread : DownloadThread;
        ok = LaunchTransfer(s, body, false, &client.reply);
    }
    if (!ok) EndTransfer(*s);
    return ok ? 1 : 0;
}

unsigned CancelDownload(Server& server, std::string_view, ClientSession& client, uint8_t h) {
    std::shared_ptr<TransferSession> s;
    std::shared_ptr<Receiver> gate;
    {
        std::lock_guard<platform::RecursiveLock> guard(server.receiver_table_lock());
        if (HasAttachment(client, h)) {
            s = client.handle_table[h]->transfer;
            gate = Receivers(server).shared_slot(client.handle_table[h]->receiver_number);
            if (gate && gate->kind != LinkKind::kGate) gate.reset();
        }
    }
    if (gate) return PassOn(*gate, client);
    if (!s) {
        client.reply = "ER:Download not active!";
        return 0;
    }
    TransferService::RequestCancel(*s);
    Transfers(server).AwaitEnd(s);
    return 1;
}

}  // namespace orvana
