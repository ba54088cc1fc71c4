#include "console/screenshots.h"

#include <QDir>
#include <QPixmap>
#include <QTimer>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "console/boot_dialog.h"
#include "console/chat_window.h"
#include "console/info_page.h"
#include "console/main_window.h"
#include "console/receiver_list_dialog.h"
#include "console/receiver_properties.h"
#include "console/user_list_dialog.h"
#include "console/user_properties.h"
#include "core/config_keys.h"
#include "core/config_store.h"
#include "core/server.h"

namespace orvana::console {
namespace {

constexpr int kFirstShotMs = 6000;  // one refresh of the list after the client attached
constexpr int kSettleMs = 700;      // a window drawn before its picture is taken
constexpr int kPollMs = 20000;      // the longest the Info page may take

// A child of the window, so it lives as long as the timers that run its steps.
struct Sequence : QObject {
    Sequence(MainWindow& w, ConsoleContext& c, const QString& f)
        : QObject(&w), window(w), context(c), folder(f) {}
    MainWindow& window;
    ConsoleContext& context;
    QDir folder;
    std::vector<std::function<void(std::function<void()>)>> steps;
    size_t next = 0;

    void Save(QWidget* w, const char* name) {
        const QString path = folder.filePath(QString(name) + ".png");
        if (w->grab().save(path))
            std::printf("Wrote %s\n", path.toStdString().c_str());
        else
            std::fprintf(stderr, "orvanaconsole: could not write %s\n", path.toStdString().c_str());
        std::fflush(stdout);
    }
    // Shows `w` (a child of the window), waits for it to be drawn, saves it and deletes it.
    void Shoot(QWidget* w, const char* name, std::function<void()> then) {
        w->show();
        QTimer::singleShot(kSettleMs, w, [this, w, name, then] {
            Save(w, name);
            w->close();
            w->deleteLater();
            then();
        });
    }
    void Run() {
        if (next == steps.size()) {
            window.ShutDown();
            return;
        }
        steps[next++]([this] { Run(); });
    }
};

std::string FirstReceiver(const ConfigStore& store) {
    const std::vector<std::string> names = store.SubKeys(cfg::kReceiversKey);
    return names.empty() ? std::string() : names.front();
}

std::string FirstUser(const ConfigStore& store) {
    const std::vector<std::string> names = store.SubKeys(cfg::kUsersKey);
    return names.empty() ? std::string() : names.front();
}

}  // namespace

void TakeScreenshots(MainWindow& window, ConsoleContext& context, const QString& folder) {
    QDir().mkpath(folder);
    auto* q = new Sequence(window, context, folder);  // owned by the window
    const ConfigStore& store = context.server.store();
    const std::string receiver = FirstReceiver(store);
    const std::string user = FirstUser(store);
    q->steps.push_back([q](auto then) {
        q->Save(&q->window, "main-window");
        then();
    });
    q->steps.push_back([q](auto then) {
        q->Shoot(new ReceiverListDialog(q->context, &q->window), "receiver-list", then);
    });
    for (int page = 0; page < 3 && !receiver.empty(); ++page) {
        q->steps.push_back([q, receiver, page](auto then) {
            auto* p = new ReceiverProperties(q->context, receiver, &q->window);
            p->tabs()->setCurrentIndex(page);
            static const char* kNames[] = {"receiver-connection", "receiver-info",
                                           "receiver-access"};
            if (page != 1) {
                q->Shoot(p, kNames[page], then);
                return;
            }
            // The Info page's picture once its poll has filled the fields.
            p->show();
            auto shot = std::make_shared<bool>(false);
            auto take = [q, p, then, shot] {
                if (*shot) return;
                *shot = true;
                q->Shoot(p, "receiver-info", then);
            };
            QObject::connect(p->info(), &InfoPage::PollEnded, p, take);
            QTimer::singleShot(kPollMs, p, take);
        });
    }
    q->steps.push_back([q](auto then) {
        q->Shoot(new UserListDialog(q->context, &q->window), "operators-list", then);
    });
    if (!user.empty()) {
        q->steps.push_back([q, user](auto then) {
            q->Shoot(new UserProperties(q->context, user, &q->window), "operator-properties", then);
        });
    }
    q->steps.push_back([q](auto then) {
        q->Shoot(new BootDialog(q->context, &q->window), "boot-configuration", then);
    });
    q->steps.push_back([q](auto then) {
        auto* chat = new ChatWindow(q->context, &q->window);
        chat->Receive("Chat lines from clients appear here\r\n");
        q->Shoot(chat, "chat", then);
    });
    QTimer::singleShot(kFirstShotMs, q, [q] { q->Run(); });
}

}  // namespace orvana::console
