#include "links/tcp_link.h"

#include <algorithm>
#include <cstring>

#include "core/config_keys.h"
#include "core/config_store.h"
#include "core/event_log.h"

namespace orvana {
namespace {

// Bounds the wait for the thread's first log line; the thread signals at once.
constexpr uint32_t kStartWaitMs = 10000;

}  // namespace

std::string TcpHost(std::string_view address) {
    return std::string(address.substr(0, address.find(':')));
}

TcpLink::TcpLink(ReceiverContext context, const std::string& addr)
    : Receiver(std::move(context), LinkKind::kTcp) {
    const ReceiverContext& c = this->context();
    label_ = c.receiver_name + "(" + c.interface_name + ")";
    address = addr;
    const std::string key = c.interface_path + c.interface_name;
    const uint32_t port = c.store->ReadNumber(key, cfg::kPort);
    try {
        socket_.Create(1);
        socket_.SetReceiveBuffer(kLinkReceiveBuffer);
        if (port > 0xffff) {
            // Not a port at all: refused like an address the system cannot reach.
            platform::SetLastSocketError(10049);
            throw CBlockingSocketException("Connect");
        }
        socket_.Connect(
            CBlockingSocket::GetHostByName(TcpHost(address), static_cast<uint16_t>(port)));
    } catch (const CBlockingSocketException& e) {
        error_text = label_;
        e.Report(error_text, &log());
        return;
    }
    Receiver::ClearInput();
    if (c.store->ReadFlag(key, cfg::kCheckLogin)) {
        if (!Login(c.store->ReadText(key, cfg::kInterfacePassword))) return;
    } else {
        // The greeting is no reply to anything: dropped before the parser could see it.
        socket_.Receive(input_area.data(), static_cast<int>(input_area.size()),
                        kGreetingWaitSeconds);
        Receiver::ClearInput();
    }
    std::string why;
    if (!reader_.Start([this] { ReaderThread(); }, &why)) {
        error_text = "ER:" + label_ + " cannot start the reader thread (" + why + ")";
        log().WriteLine(error_text);
        socket_.Cleanup();
        return;
    }
    started_.Wait(kStartWaitMs);
}

TcpLink::~TcpLink() {
    stop = 1;
    // Breaking the connection ends the reader's pending receive; the descriptor itself goes
    // with socket_, after the reader has been joined.
    socket_.Cleanup();
    reader_.Join();
}

bool TcpLink::Login(const std::string& password) {
    char* area = reinterpret_cast<char*>(input_area.data());
    const size_t capacity = input_area.size();
    auto receive = [&](size_t at, uint32_t seconds) -> size_t {
        if (at >= capacity) return 0;
        const int n =
            socket_.Receive(area + at, static_cast<int>(capacity - at), static_cast<int>(seconds));
        return n > 0 ? static_cast<size_t>(n) : 0;
    };
    size_t count = 0;
    // The greeting, then the user prompt. A receiver that accepts and never speaks is given
    // the same limit as every later step, not hours.
    count += receive(count, kLoginWaitSeconds);
    count += receive(count, kLoginWaitSeconds);
    socket_.Send("\n", 1);
    count += receive(count, kLoginWaitSeconds);
    const std::string line = password + "\n";
    socket_.Send(line.data(), static_cast<int>(line.size()));
    const size_t verdict = receive(count, kLoginWaitSeconds);
    if (std::string_view(area + count, verdict).find("RE") != std::string_view::npos) return true;
    error_text = "ER:" + label_ + "\r\n" +
                 std::string(area, strnlen(area, std::min(capacity, count + verdict)));
    log().WriteLine(error_text);
    return false;
}

void TcpLink::ReaderThread() {
    log().WriteLine(label_ + " thread started.");
    started_.Set();
    for (;;) {
        const int n = socket_.Receive(input_area.data(), static_cast<int>(input_area.size()),
                                      static_cast<int>(kReadWaitSeconds));
        if (n > 0) {
            socket_.AckAtOnce();
            HandleInput(static_cast<size_t>(n));
        } else if (n == 0 && stop == 0) {
            // An orderly close: nothing more will come, so the clients are released now
            // rather than after the reply time-outs of their next commands.
            if (GiveUp()) log().WriteLine(label_ + " connection closed by the receiver");
        } else if (n == -1 && stop == 0) {
            const int error = platform::LastSocketError();
            if (GiveUp()) Report(error);
        }
        if (stop != 0) break;
    }
    log().WriteLine(label_ + " thread terminated.\r\n");
}

bool TcpLink::GiveUp() {
    // The reader and any number of writers can meet a broken connection at once: the one that
    // sets the flag reports it. The connection is broken in any case, so that no later Write
    // tries a socket that already failed, whoever set the flag (a reply time-out sets it too).
    const bool first = RequestStop();
    socket_.Cleanup();
    return first;
}

void TcpLink::Report(int error) {
    platform::SetLastSocketError(error);
    ReportSocketError(&log(), label_);
}

uint32_t TcpLink::Write(const void* data, uint32_t length) {
    if (!socket_.IsOpen()) {
        if (GiveUp()) Report(10057);
        return 0;
    }
    const int sent = socket_.Send(data, static_cast<int>(length));
    if (sent < 0) {
        const int error = platform::LastSocketError();
        if (GiveUp()) Report(error);
        return static_cast<uint32_t>(-1);
    }
    return static_cast<uint32_t>(sent);
}

void TcpLink::ClearInput() {
    std::lock_guard<std::recursive_mutex> g(reply.lock());
    reply.Clear();
    assembly_count = 0;
    Receiver::ClearInput();
}

}  // namespace orvana
