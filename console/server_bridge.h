#pragma once
// What the server's threads hand to the window: event log lines and clients' chat lines. The
// bridge is installed before the server starts, keeps the start-up's lines until the window
// exists, and passes lines on as queued signals, so no server thread ever waits for the window.

#include <QObject>
#include <QString>
#include <QStringList>
#include <mutex>

namespace orvana {
class Server;
}

namespace orvana::console {

class ServerBridge : public QObject {
    Q_OBJECT

  public:
    static constexpr int kMaxEarlyLines = 1000;

    // Before the server starts: its hooks are read without a lock afterwards.
    explicit ServerBridge(Server& server);
    ~ServerBridge() override;  // the log stops handing lines to the bridge

    // The window has connected LogLine: the lines that came before it, in order.
    QStringList Attach();

  signals:
    void LogLine(const QString& line);
    void ChatLine(const QString& history_line);

  private:
    void Log(const std::string& line);

    Server& server_;
    std::mutex mu_;
    bool attached_ = false;  // GUARDED_BY(mu_)
    QStringList early_;      // GUARDED_BY(mu_)
};

}  // namespace orvana::console
