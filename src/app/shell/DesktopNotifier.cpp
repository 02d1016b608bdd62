#include "app/shell/DesktopNotifier.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>
#include <optional>

#include "app/shell/QtChild.h"
#include "app/shell/TrayIcon.h"

namespace kavo {
namespace {

const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kActionKey = QStringLiteral("chosen");

}  // namespace

DesktopNotifier::DesktopNotifier(QDBusConnection bus, TrayIcon& icon, Chosen chosen)
    : bus_(std::move(bus)), icon_(icon), chosen_(std::move(chosen)) {
    // From whichever connection owns the service name: the sender is not checked.
    bus_.connect(QString(), kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                 SLOT(actionInvoked(uint, QString)));
    bus_.connect(QString(), kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                 SLOT(notificationClosed(uint, uint)));
}

DesktopNotifier::~DesktopNotifier() {
    bus_.disconnect(QString(), kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                    SLOT(actionInvoked(uint, QString)));
    bus_.disconnect(QString(), kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                    SLOT(notificationClosed(uint, uint)));
}

bool DesktopNotifier::serviceAvailable() const {
    if (!bus_.isConnected() || bus_.interface() == nullptr) return false;
    return bus_.interface()->isServiceRegistered(QString::fromLatin1(kService)).value();
}

void DesktopNotifier::show(const Notification& notification) {
    const QString title = QString::fromStdString(notification.title);
    const QString body = QString::fromStdString(notification.body);
    if (!serviceAvailable()) {
        icon_.showMessage(title, body);
        return;
    }
    QStringList actions;
    if (notification.action)
        actions << kActionKey << QString::fromStdString(notification.action->title);
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("kavo-meetings"));
    // One with an action (a recording that started unasked) must not slip by: it never
    // expires, the user dismisses it; others go when the service decides.
    const int expireTimeout = notification.action ? 0 : -1;

    QDBusMessage call = QDBusMessage::createMethodCall(QString::fromLatin1(kService), kPath,
                                                       kInterface, QStringLiteral("Notify"));
    call << QStringLiteral("Kavo Meetings") << shown_ << QStringLiteral("kavo-meetings") << title
         << body << actions << hints << expireTimeout;
    // Asynchronous: the GUI thread never waits on the service.
    auto* watcher = makeQtChild<QDBusPendingCallWatcher>(bus_.asyncCall(call), this);
    const std::optional<MenuAction> action =
        notification.action ? std::optional(notification.action->action) : std::nullopt;
    const uint replaced = shown_;
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, this,
                     [this, action, replaced, title, body](QDBusPendingCallWatcher* finished) {
                         const QDBusPendingReply<uint> reply = *finished;
                         finished->deleteLater();
                         if (reply.isError()) {
                             icon_.showMessage(title, body);
                             return;
                         }
                         actions_.erase(replaced);
                         shown_ = reply.value();
                         if (action) actions_[shown_] = *action;
                     });
}

void DesktopNotifier::actionInvoked(uint id, const QString& key) {
    const auto found = actions_.find(id);
    if (found == actions_.end() || key != kActionKey) return;
    const MenuAction action = found->second;
    actions_.erase(found);
    if (chosen_) chosen_(action);
}

void DesktopNotifier::notificationClosed(uint id, uint /*reason*/) {
    actions_.erase(id);
    if (id == shown_) shown_ = 0;
}

}  // namespace kavo
