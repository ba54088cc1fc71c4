#pragma once
// The upper pane: a row per receiver handle a client holds, refreshed every 5 s from the client
// and receiver tables when both are free at once (a busy moment skips a refresh rather than
// hold up the window). Delete takes the selected row's receiver away from every client.

#include <QIcon>
#include <QTimer>
#include <QTreeWidget>
#include <atomic>

#include "console/console_context.h"
#include "console/model/connection_list.h"
#include "platform/sync.h"

namespace orvana::console {

class ConnectionView : public QTreeWidget {
    Q_OBJECT

  public:
    static constexpr int kRefreshMs = 5000;

    ConnectionView(ConsoleContext& context, QWidget* parent);
    ~ConnectionView() override;

    // Shows bit i of `mask` as column i.
    void SetShownColumns(uint32_t mask);
    // Ends a Delete still running; the window calls it before the server stops.
    void FinishDeletes();

  public slots:
    // False when the tables were busy and the rows stayed as they were.
    bool Refresh();
    void DeleteSelectedReceiver();

  signals:
    void Refreshed();

  protected:
    void keyPressEvent(QKeyEvent* event) override;

  private:
    ConsoleContext& context_;
    ConnectionList list_;
    QTimer timer_;
    QIcon moving_, still_;
    std::atomic<bool> deleting_{false};
    platform::Thread delete_thread_;
};

}  // namespace orvana::console
