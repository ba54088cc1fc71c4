// File transfer through the server against the same bytes straight from the simulator. For each
// transport (orvanasim on TCP, on a pseudo-terminal) and block size, one file of --size MB is
//   downloaded  through the server (DownloadFile: orvanasrv speaks the block protocol to the
//               simulator and passes every block on to the client), and by this program
//               speaking the block protocol to the simulator itself over the same transport;
//   uploaded    through the server (LoadFirmware of a file already in the user's folder, timed
//               until the simulator has stored the whole file), and by this program directly.
// Prints MB/s for both and the ratio server / direct.
//
//   transfer_bench [--size MB] [--blocks 2048,8192] [--transports tcp,pty]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/config_keys.h"
#include "core/request_client.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "platform/serial_port.h"
#include "receivers/command_engine.h"
#include "tests/orvanasim_harness.h"
#include "tests/server_harness.h"
#include "tests/support/test_env.h"
#include "tests/tcp_link_harness.h"
#include "transfer/block_frame.h"

namespace {

using namespace orvana;
constexpr uint32_t kWaitMs = 30000;

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// The host's end of one transport to the simulator.
class Wire {
  public:
    virtual ~Wire() = default;
    virtual bool Write(const void* data, size_t n) = 0;
    // Bytes read, 0 on time-out, -1 when the line is gone.
    virtual long Read(void* into, size_t n, uint32_t wait_ms) = 0;

    bool ReadExactly(uint8_t* into, size_t n) {
        size_t got = 0;
        while (got < n) {
            const long r = Read(into + got, n - got, kWaitMs);
            if (r <= 0) return false;
            got += static_cast<size_t>(r);
        }
        return true;
    }
    // Sends a command line as the server does and reads its reply: "RE" or "ER", three hex
    // digits of length, that many bytes.
    std::optional<std::string> Command(const std::string& command) {
        std::string line;
        if (!PrepareLine(command, false, &line) || !Write(line.data(), line.size())) return {};
        uint8_t head[5];
        if (!ReadExactly(head, 5)) return {};
        const size_t length = std::strtoul(std::string(head + 2, head + 5).c_str(), nullptr, 16);
        std::string body(length, '\0');
        if (!ReadExactly(reinterpret_cast<uint8_t*>(body.data()), length)) return {};
        return std::string(head, head + 5) + body;
    }
};

class TcpWire : public Wire {
  public:
    explicit TcpWire(uint16_t port) {
        platform::Ipv4Endpoint at;
        platform::ParseDotted("127.0.0.1", &at.address);
        at.port = port;
        fd_ = platform::OpenStreamSocket();
        if (!platform::Connect(fd_, at, 5000)) return;
        // The greeting of a receiver without a login.
        char greeting[256];
        platform::WaitReadable(fd_, 3000);
        platform::ReceiveOnce(fd_, greeting, sizeof greeting, false);
        ok_ = true;
    }
    ~TcpWire() override { platform::CloseSocket(fd_); }
    bool ok() const { return ok_; }
    bool Write(const void* data, size_t n) override {
        return platform::SendAll(fd_, data, n, kWaitMs) == static_cast<long>(n);
    }
    long Read(void* into, size_t n, uint32_t wait_ms) override {
        const int ready = platform::WaitReadable(fd_, wait_ms);
        if (ready <= 0) return ready == 0 ? 0 : -1;
        const long r = platform::ReceiveOnce(fd_, into, n, false);
        return r > 0 ? r : -1;
    }

  private:
    platform::SocketFd fd_ = platform::kNoSocket;
    bool ok_ = false;
};

class PtyWire : public Wire {
  public:
    explicit PtyWire(const std::string& path) {
        ok_ = port_.Open(path) == 0 && port_.SetSpeed(115200);
    }
    bool ok() const { return ok_; }
    bool Write(const void* data, size_t n) override { return port_.Write(data, n, kWaitMs) == n; }
    long Read(void* into, size_t n, uint32_t wait_ms) override {
        const auto w = port_.WaitReadable(wait_ms);
        if (w != platform::SerialPort::Wait::Readable) return 0;
        const long r = port_.Read(into, n);
        return r > 0 ? r : -1;
    }

  private:
    platform::SerialPort port_;
    bool ok_ = false;
};

// Downloads `name` straight from the simulator: seconds, or a negative value on failure.
double DirectDownload(Wire& w, const std::string& name, size_t n, const std::string& expected) {
    const auto start = std::chrono::steady_clock::now();
    auto reply = w.Command("%WL%get,/log/" + name + ":{500," + std::to_string(n) + "},0");
    if (!reply || reply->compare(0, 2, "RE") != 0) return -1;
    BlockBuffer block(n);
    std::string got;
    uint16_t crc = 0;
    uint8_t control = kSendBlock;
    for (;;) {
        if (!w.Write(&control, 1) || !w.ReadExactly(block.frame(), block.frame_size())) return -1;
        const uint16_t computed = block.ComputeCrc(crc);
        if (computed != block.crc_field()) {
            control = kSendBlock;
            continue;
        }
        crc = computed;
        const bool last = block.tag() == kLastTag;
        got.append(reinterpret_cast<const char*>(block.data()), last ? block.number() : n);
        if (last) break;
        control = kBlockAccepted;
    }
    const std::string end = "###\ndm\n";
    w.Write(end.data(), end.size());
    const double s = Seconds(start);
    return got == expected ? s : -1;
}

// Uploads `content` as `name` straight to the simulator: seconds until it has acknowledged the
// last block, or a negative value on failure.
double DirectUpload(Wire& w, const std::string& name, size_t n, const std::string& content) {
    const auto start = std::chrono::steady_clock::now();
    auto reply = w.Command("%LD%put,/log/" + name + ":{10," + std::to_string(n) + "},0");
    if (!reply || reply->compare(0, 2, "RE") != 0) return -1;
    BlockBuffer block(n);
    size_t sent = 0;
    uint16_t crc = 0, before = 0;
    uint16_t number = 0;
    bool prepared = false, last = false;
    for (;;) {
        uint8_t c = 0;
        if (w.Read(&c, 1, kWaitMs) != 1) return -1;
        if (c == kBlockAccepted) {
            if (last) break;
            prepared = false;
            before = crc;
            ++number;
        } else if (c != kSendBlock) {
            continue;
        }
        if (!prepared) {
            const size_t valid = std::min(n, content.size() - sent);
            std::memcpy(block.data(), content.data() + sent, valid);
            sent += valid;
            last = sent >= content.size();
            crc = block.Seal(last ? kLastTag : kDataTag,
                             static_cast<uint16_t>(last ? valid : number), valid, before);
            prepared = true;
        }
        if (!w.Write(block.frame(), block.frame_size())) return -1;
    }
    return Seconds(start);
}

struct Figures {
    double server_down = -1, direct_down = -1, server_up = -1, direct_up = -1;
};

// One transport and block size: the simulator, the server in front of it, both ways measured.
Figures Measure(const std::string& transport, size_t n, const std::string& content) {
    Figures f;
    test::ServerProcess server;
    server.AddUser("bench", "pw", 4);
    server.store().WriteNumber(cfg::kDownloadKey, cfg::kBlockSize.name, static_cast<uint32_t>(n));
    const std::string files = server.home() + "/receiver-log";
    std::filesystem::create_directories(files);
    test::WriteFile(files + "/bench.dat", content);
    std::filesystem::create_directories(server.home() + "/bench");
    test::WriteFile(server.home() + "/bench/up.bin", content);
    simtest::Sim sim;
    std::unique_ptr<Wire> wire;
    if (transport == "tcp") {
        auto port = sim.StartTcp({"--files", files});
        if (!port) return f;
        test::AddTcpReceiver(server.store(), "Base1", "TCP 127.0.0.1", *port);
        auto tcp = std::make_unique<TcpWire>(*port);
        if (!tcp->ok()) return f;
        wire = std::move(tcp);
    } else {
        auto path = sim.StartPty({"--files", files, "--ports", server.Ports(), "--com", "1"});
        if (!path) return f;
        server.AddReceiver("Base1", true, "COM 1");
        auto pty = std::make_unique<PtyWire>(*path);
        if (!pty->ok()) return f;
        wire = std::move(pty);
    }
    f.direct_down = DirectDownload(*wire, "bench.dat", n, content);
    std::filesystem::remove(files + "/direct");
    f.direct_up = DirectUpload(*wire, "direct", n, content);
    wire.reset();  // the server takes the line now
    if (!server.Start()) return f;

    RequestClient client;
    if (!client.Connect("127.0.0.1", server.port(), 5000)) return f;
    auto login = client.Login("bench", "pw", "bench", kWaitMs);
    if (!login || !RequestClient::LoginAccepted(*login)) return f;
    auto open = client.Call("OpenRcv Base1", 1, 60000);
    if (!open || !open->Succeeded()) return f;

    auto start = std::chrono::steady_clock::now();
    auto reply = client.Call("DownloadFile bench.dat 0", 1, kWaitMs);
    std::string got;
    while (reply && reply->Succeeded()) {
        auto frame = client.NextUnsolicited(kWaitMs);
        if (!frame) break;
        if (frame->type != 0x800) continue;
        if (frame->data.compare(0, 3, "IN:") == 0) {
            got.append(frame->data, 12);
            continue;
        }
        if (frame->data == "RE:Complete Downloading." && got == content)
            f.server_down = Seconds(start);
        break;
    }

    const std::string stored = files + "/up";
    start = std::chrono::steady_clock::now();
    reply = client.Call("LoadFirmware up.bin", 1, kWaitMs);
    if (!reply || !reply->Succeeded() || reply->code != 1) return f;
    // The client reads its progress messages all along, as a client must; the time ends when
    // the simulator has the whole file (the firmware command and the receiver's settling time
    // that follow are not timed).
    for (;;) {
        auto frame = client.NextUnsolicited(20);
        std::error_code ec;
        if (f.server_up < 0 && std::filesystem::file_size(stored, ec) == content.size())
            f.server_up = Seconds(start);
        if (!frame) {
            if (!client.IsOpen() || Seconds(start) > 300) break;
            continue;
        }
        if (frame->type != 0xB00 || frame->data.compare(0, 4, "INW:") == 0) continue;
        if (f.server_up < 0)
            std::fprintf(stderr, "upload through the server: %s\n", frame->data.c_str());
        break;
    }
    server.Stop();
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    double megabytes = 4;
    std::vector<std::string> blocks = {"2048", "8192"}, transports = {"tcp", "pty"};
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i], v = argv[i + 1];
        if (a == "--size") {
            megabytes = std::atof(v.c_str());
        } else if (a == "--blocks") {
            blocks = test::CommaList(v);
        } else if (a == "--transports") {
            transports = test::CommaList(v);
        } else {
            std::fprintf(stderr,
                         "usage: transfer_bench [--size MB] [--blocks 2048,8192] "
                         "[--transports tcp,pty]\n");
            return 2;
        }
    }
    const size_t size = static_cast<size_t>(megabytes * 1024 * 1024);
    std::mt19937 gen(1);
    std::string content(size, '\0');
    for (char& c : content) c = static_cast<char>(gen() & 0xFF);

    auto rate = [size](double s) { return s > 0 ? size / 1e6 / s : 0.0; };
    std::printf("%-5s %6s | %-10s %10s %10s %6s\n", "link", "block", "direction", "server MB/s",
                "direct MB/s", "ratio");
    for (const std::string& t : transports) {
        for (const std::string& b : blocks) {
            const Figures f = Measure(t, std::stoul(b), content);
            const double sd = rate(f.server_down), dd = rate(f.direct_down);
            const double su = rate(f.server_up), du = rate(f.direct_up);
            std::printf("%-5s %6s | %-10s %10.2f %10.2f %6.2f\n", t.c_str(), b.c_str(), "download",
                        sd, dd, dd > 0 ? sd / dd : 0.0);
            std::printf("%-5s %6s | %-10s %10.2f %10.2f %6.2f\n", t.c_str(), b.c_str(), "upload",
                        su, du, du > 0 ? su / du : 0.0);
            std::fflush(stdout);
        }
    }
    return 0;
}
