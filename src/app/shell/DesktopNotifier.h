#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <functional>
#include <map>

#include "app/Notifier.h"

namespace kavo {

class TrayIcon;

// Notifications through the desktop's notification service (org.freedesktop.Notifications
// on the session bus), each replacing the one before, with its action as a button; where
// no such service runs, the tray icon's own message, which has none. GUI thread only.
class DesktopNotifier final : public QObject, public Notifier {
    Q_OBJECT

public:
    using Chosen = std::function<void(MenuAction)>;

    static constexpr const char* kService = "org.freedesktop.Notifications";
    static constexpr const char* kPath = "/org/freedesktop/Notifications";

    // `bus` is the session bus; `icon` outlives the notifier. `chosen` receives the action
    // of a notification the user chose it on.
    DesktopNotifier(QDBusConnection bus, TrayIcon& icon, Chosen chosen);
    DesktopNotifier(const DesktopNotifier&) = delete;
    DesktopNotifier& operator=(const DesktopNotifier&) = delete;
    ~DesktopNotifier() override;

    void show(const Notification& notification) override;

    // Whether a notification service answers on the bus now.
    bool serviceAvailable() const;

private Q_SLOTS:
    void actionInvoked(uint id, const QString& key);
    void notificationClosed(uint id, uint reason);

private:
    QDBusConnection bus_;
    TrayIcon& icon_;
    Chosen chosen_;
    // The notification shown last, which the next one replaces; 0 for none.
    uint shown_ = 0;
    // The action of each notification still up, by its id.
    std::map<uint, MenuAction> actions_;
};

}  // namespace kavo
