#include "tests/support/test_env.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/clock.h"
#include "platform/net.h"

namespace orvana::test {

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "orvana-test-XXXXXX").string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string ProgramPath(const std::string& name) {
    return std::string(ORVANA_BIN_DIR) + "/" + name;
}

std::string SourcePath(const std::string& relative) {
    return std::string(ORVANA_SOURCE_DIR) + "/" + relative;
}

ProgramResult RunProgram(const std::string& name, const std::vector<std::string>& args,
                         unsigned timeout_ms, const std::vector<std::string>& env) {
    platform::Subprocess p;
    std::vector<std::string> argv{name.find('/') == std::string::npos ? ProgramPath(name) : name};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string error;
    ProgramResult r;
    if (!p.Start(argv, &error, env)) {
        r.err = error;
        return r;
    }
    // Read all output while waiting, so a chatty program never blocks on a full pipe.
    while (p.ReadLine(timeout_ms)) {
    }
    auto status = p.Wait(timeout_ms);
    r.status = status.value_or(-1);
    if (!status) ADD_FAILURE() << name << " did not end within " << timeout_ms << " ms";
    r.out = p.StdoutSoFar();
    r.err = p.Stderr();
    return r;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool WaitUntil(const std::function<bool()>& done, uint32_t ms) {
    const uint32_t start = platform::TickCount();
    while (!done()) {
        if (platform::TickCount() - start >= ms) return false;
        platform::SleepMs(20);
    }
    return true;
}

size_t CountOf(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

std::string EventLogText(const std::string& folder) {
    std::vector<std::string> names;
    for (auto& e : std::filesystem::directory_iterator(folder))
        if (e.path().extension() == ".log") names.push_back(e.path().string());
    std::sort(names.begin(), names.end());
    std::string all;
    for (auto& n : names) all += ReadFile(n);
    return all;
}

uint16_t FreePort() {
    const platform::SocketFd fd = platform::OpenStreamSocket();
    platform::Ipv4Endpoint at{0x7F000001, 0};  // 127.0.0.1
    uint16_t port = 0;
    if (fd != platform::kNoSocket && platform::Bind(fd, at) && platform::LocalEndpoint(fd, &at))
        port = at.port;
    platform::CloseSocket(fd);
    return port;
}

std::vector<std::string> CommaList(const std::string& text) {
    std::vector<std::string> out;
    size_t from = 0;
    while (from <= text.size()) {
        size_t comma = text.find(',', from);
        if (comma == std::string::npos) comma = text.size();
        if (comma > from) out.push_back(text.substr(from, comma - from));
        from = comma + 1;
    }
    return out;
}

}  // namespace orvana::test
