#include "console/log_view.h"

#include <QFont>
#include <QFontDatabase>
#include <QScrollBar>

namespace orvana::console {

LogView::LogView(int max_lines, QWidget* parent) : QPlainTextEdit(parent) {
    setObjectName("log");
    setReadOnly(true);
    setMaximumBlockCount(max_lines);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setWeight(QFont::Medium);
    setFont(font);
}

void LogView::Append(const QString& line) {
    appendPlainText(line);
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

}  // namespace orvana::console
