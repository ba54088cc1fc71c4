#pragma once
// The lower pane: the event log's lines as they are written, at most ViewMaxLine of them. Lines
// come from any thread of the server and are shown on the window's.

#include <QPlainTextEdit>

namespace orvana::console {

class LogView : public QPlainTextEdit {
    Q_OBJECT

  public:
    LogView(int max_lines, QWidget* parent);

  public slots:
    void Append(const QString& line);
};

}  // namespace orvana::console
