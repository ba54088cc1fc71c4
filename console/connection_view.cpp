#include "console/connection_view.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QPainter>
#include <QPixmap>
#include <QScrollBar>

#include "admin/connection_rows.h"
#include "receivers/operator_delete.h"

namespace orvana::console {
namespace {

constexpr uint32_t kTryLockMs = 1;  // the refresh takes the tables only when they are free
constexpr uint32_t kDeleteWaitMs = 5000;
constexpr int kSlotRole = Qt::UserRole;
constexpr int kHandleRole = Qt::UserRole + 1;

QIcon Dot(const QColor& color) {
    QPixmap pixmap(12, 12);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(color);
    painter.setPen(color.darker());
    painter.drawEllipse(1, 1, 10, 10);
    return QIcon(pixmap);
}

}  // namespace

ConnectionView::ConnectionView(ConsoleContext& context, QWidget* parent)
    : QTreeWidget(parent),
      context_(context),
      moving_(Dot(QColor(0x2e, 0xa0, 0x43))),
      still_(Dot(QColor(0xb0, 0xb0, 0xb0))) {
    setObjectName("connections");
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setColumnCount(kConnectionColumns);
    QStringList titles;
    for (const char* t : kColumnTitles) titles << t;
    setHeaderLabels(titles);
    const int quarter = fontMetrics().horizontalAdvance("RWDS");
    for (int c = 0; c < kConnectionColumns; ++c)
        setColumnWidth(c, quarter * kColumnQuarters[c] / 4);
    connect(&timer_, &QTimer::timeout, this, [this] { Refresh(); });
    timer_.start(kRefreshMs);
}

ConnectionView::~ConnectionView() {
    FinishDeletes();
}

void ConnectionView::SetShownColumns(uint32_t mask) {
    for (int c = 0; c < kConnectionColumns; ++c) setColumnHidden(c, (mask & (1u << c)) == 0);
}

void ConnectionView::FinishDeletes() {
    delete_thread_.Join();
}

bool ConnectionView::Refresh() {
    auto rows = admin::ReadConnectionRows(context_.server, kTryLockMs);
    if (!rows) return false;
    const std::vector<ShownRow> shown = list_.Refresh(*rows);

    std::pair<int, int> selected{-1, -1};
    if (QTreeWidgetItem* item = currentItem())
        selected = {item->data(0, kSlotRole).toInt(), item->data(0, kHandleRole).toInt()};
    const int scrolled = verticalScrollBar()->value();
    clear();
    for (const ShownRow& row : shown) {
        auto* item = new QTreeWidgetItem(this);  // owned by the list
        for (int c = 0; c < kConnectionColumns; ++c) item->setText(c, Shown(row.cells[c]));
        item->setIcon(0, row.moved ? moving_ : still_);
        item->setData(0, kSlotRole, row.slot);
        item->setData(0, kHandleRole, row.handle);
        item->setTextAlignment(1, Qt::AlignRight);
        if (std::pair<int, int>{row.slot, row.handle} == selected) setCurrentItem(item);
    }
    verticalScrollBar()->setValue(scrolled);
    emit Refreshed();
    return true;
}

void ConnectionView::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Delete) {
        DeleteSelectedReceiver();
        return;
    }
    QTreeWidget::keyPressEvent(event);
}

void ConnectionView::DeleteSelectedReceiver() {
    QTreeWidgetItem* item = currentItem();
    if (item == nullptr) return;
    if (isColumnHidden(kReceiverColumn)) {
        context_.prompts.Tell(this, PromptIcon::kWarning, "Attention!",
                              "Failed to delete the receiver.");
        return;
    }
    const std::string name = Stored(item->text(kReceiverColumn));
    if (!context_.prompts.Confirm(
            this, PromptIcon::kQuestion, "Attention!",
            "Are you sure you want to delete receiver " + item->text(kReceiverColumn) + "?"))
        return;
    // Closing waits for the receiver: off the window's thread, one at a time, and the window
    // never waits for an earlier one.
    std::string error;
    bool started = false;
    if (!deleting_.exchange(true)) {
        delete_thread_.Join();  // it has ended: only its last instruction may remain
        Server& server = context_.server;
        started = delete_thread_.Start(
            [this, &server, name] {
                DeleteReceiverForEveryone(server, name, kDeleteWaitMs);
                QMetaObject::invokeMethod(
                    this, [this] { Refresh(); }, Qt::QueuedConnection);
                deleting_ = false;
            },
            &error);
        if (!started) deleting_ = false;
    }
    if (!started)
        context_.prompts.Tell(this, PromptIcon::kWarning, "Attention!",
                              "Failed to delete the receiver.");
}

}  // namespace orvana::console
