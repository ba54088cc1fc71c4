#include "console/server_bridge.h"

#include "console/console_context.h"
#include "console/model/chat.h"
#include "core/server.h"

namespace orvana::console {

ServerBridge::ServerBridge(Server& server) : server_(server) {
    server_.SetLogViewSink([this](const std::string& line) { Log(line); });
    server_.hooks().chat_line = [this](ClientSession& session, std::string_view text) {
        emit ChatLine(Shown(ChatHistoryLine(PeerOf(server_, session), text)));
    };
}

ServerBridge::~ServerBridge() {
    server_.SetLogViewSink(nullptr);
}

QStringList ServerBridge::Attach() {
    std::lock_guard<std::mutex> lock(mu_);
    attached_ = true;
    return std::move(early_);
}

void ServerBridge::Log(const std::string& line) {
    const QString text = Shown(line);
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (!attached_) {
            if (early_.size() >= kMaxEarlyLines) early_.removeFirst();
            early_.append(text);
            return;
        }
    }
    emit LogLine(text);
}

}  // namespace orvana::console
