#include "apps/orvanacli/shell_session.h"

#include "apps/orvanacli/report.h"

namespace orvana::cli {

std::optional<uint8_t> ShellSession::HandleOf(const std::string& receiver) const {
    auto it = receivers_.find(receiver);
    if (it == receivers_.end()) return std::nullopt;
    return it->second;
}

std::optional<uint8_t> ShellSession::FreeHandle() const {
    for (unsigned h = 1; h <= handle_count_ && h <= 255; ++h) {
        bool taken = false;
        for (const auto& [name, held] : receivers_) taken = taken || held == h;
        if (!taken) return static_cast<uint8_t>(h);
    }
    return std::nullopt;
}

void ShellSession::Opened(const std::string& receiver, uint8_t handle) {
    receivers_[receiver] = handle;
}

void ShellSession::Closed(uint8_t handle) {
    Detached(handle, 4);
    for (auto it = receivers_.begin(); it != receivers_.end();)
        it = it->second == handle ? receivers_.erase(it) : std::next(it);
}

void ShellSession::KeepOutput(uint8_t handle, int group,
                              std::unique_ptr<platform::OutputFile> file) {
    auto it = outputs_.find({handle, group});
    if (it != outputs_.end()) CloseOutput(it);
    outputs_[{handle, group}] = std::move(file);
}

void ShellSession::Detached(uint8_t handle, int group) {
    for (auto it = outputs_.begin(); it != outputs_.end();) {
        auto next = std::next(it);
        if (it->first.first == handle && (group == 4 || it->first.second == group)) CloseOutput(it);
        it = next;
    }
}

bool ShellSession::Divert(const ServerFrame& frame) {
    const int group = frame.type / 256 - 1;
    auto it = outputs_.find({frame.handle, group});
    if (it == outputs_.end()) return false;
    std::string error;
    if (!it->second->Write(frame.data, &error)) {
        Complain(error);
        outputs_.erase(it);
    }
    return true;
}

void ShellSession::CloseOutput(std::map<Key, std::unique_ptr<platform::OutputFile>>::iterator it) {
    std::string error;
    if (!it->second->Close(&error)) Complain(error);
    outputs_.erase(it);
}

}  // namespace orvana::cli
