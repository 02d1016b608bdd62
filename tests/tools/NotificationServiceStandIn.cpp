// org.freedesktop.Notifications on the bus at argv[1]: each Notify call appended to argv[2] as
// "summary TAB body TAB actions TAB replaced id"; its first action chosen at once, as by a user.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QFile>
#include <QObject>
#include <QStringList>
#include <QTextStream>
#include <QTimer>
#include <QVariantMap>

class NotificationService final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    explicit NotificationService(QString log) : log_(std::move(log)) {}

public Q_SLOTS:
    uint Notify(const QString& /*app*/, uint replaces, const QString& /*icon*/,
                const QString& summary, const QString& body, const QStringList& actions,
                const QVariantMap& /*hints*/, int /*timeout*/) {
        QFile file(log_);
        file.open(QIODevice::Append | QIODevice::Text);
        QTextStream(&file) << summary << '\t' << body << '\t' << actions.join(',') << '\t'
                           << replaces << '\n';
        const uint id = replaces != 0 ? replaces : ++last_;
        if (!actions.isEmpty()) {
            const QString key = actions.front();
            QTimer::singleShot(50, this, [this, id, key] { Q_EMIT ActionInvoked(id, key); });
        }
        return id;
    }

Q_SIGNALS:
    void ActionInvoked(uint id, const QString& key);

private:
    QString log_;
    uint last_ = 0;
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 3) return 2;
    QDBusConnection bus = QDBusConnection::connectToBus(QString::fromLocal8Bit(argv[1]), "bus");
    NotificationService service(QString::fromLocal8Bit(argv[2]));
    const bool registered =
        bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &service,
                           QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals) &&
        bus.registerService(QStringLiteral("org.freedesktop.Notifications"));
    return registered ? QCoreApplication::exec() : 1;
}

#include "NotificationServiceStandIn.moc"
