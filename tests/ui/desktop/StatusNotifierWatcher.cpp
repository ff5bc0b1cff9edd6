// vbx-sni-watcher: a stand-in StatusNotifier watcher with a host on the
// session bus, as KDE Plasma, GNOME's tray extension and Wayland bars have.
// A program's Qt then shows its tray icon as a StatusNotifier item, and its
// menu over D-Bus (com.canonical.dbusmenu). Prints "ready" once it holds
// the watcher's name, then "item NAME" for each item that registers.

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QStringList>

#include <cstdio>

namespace {

const QString kInterface = QStringLiteral("org.kde.StatusNotifierWatcher");

class CWatcher : public QDBusVirtualObject {
public:
    QString introspect(const QString&) const override {
        return QStringLiteral(
            "<interface name=\"org.kde.StatusNotifierWatcher\">"
            "<method name=\"RegisterStatusNotifierItem\"><arg name=\"service\" type=\"s\" direction=\"in\"/></method>"
            "<method name=\"RegisterStatusNotifierHost\"><arg name=\"service\" type=\"s\" direction=\"in\"/></method>"
            "<property name=\"RegisteredStatusNotifierItems\" type=\"as\" access=\"read\"/>"
            "<property name=\"IsStatusNotifierHostRegistered\" type=\"b\" access=\"read\"/>"
            "<property name=\"ProtocolVersion\" type=\"i\" access=\"read\"/>"
            "<signal name=\"StatusNotifierItemRegistered\"><arg type=\"s\"/></signal>"
            "<signal name=\"StatusNotifierItemUnregistered\"><arg type=\"s\"/></signal>"
            "<signal name=\"StatusNotifierHostRegistered\"/>"
            "</interface>");
    }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        const QString member = message.member();
        if (message.interface() == kInterface && member == QLatin1String("RegisterStatusNotifierItem")) {
            QString service = message.arguments().value(0).toString();
            // An item may name only its path: the sender is then the item.
            if (service.startsWith(QLatin1Char('/')))
                service = message.service();
            mItems << service;
            connection.send(message.createReply());
            std::printf("item %s\n", qPrintable(service));
            std::fflush(stdout);
            return true;
        }
        if (message.interface() == kInterface && member == QLatin1String("RegisterStatusNotifierHost")) {
            connection.send(message.createReply());
            return true;
        }
        if (message.interface() != QLatin1String("org.freedesktop.DBus.Properties"))
            return false;
        QVariantMap properties;
        properties[QStringLiteral("RegisteredStatusNotifierItems")] = mItems;
        properties[QStringLiteral("IsStatusNotifierHostRegistered")] = true;
        properties[QStringLiteral("ProtocolVersion")] = 0;
        if (member == QLatin1String("GetAll")) {
            connection.send(message.createReply(QVariant::fromValue(properties)));
            return true;
        }
        if (member == QLatin1String("Get")) {
            const QVariant value = properties.value(message.arguments().value(1).toString());
            connection.send(value.isValid() ? message.createReply(QVariant::fromValue(QDBusVariant(value)))
                                            : message.createErrorReply(QDBusError::UnknownProperty, QString()));
            return true;
        }
        return false;
    }

private:
    QStringList mItems;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    CWatcher watcher;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerVirtualObject(QStringLiteral("/StatusNotifierWatcher"), &watcher) ||
        !bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"))) {
        std::fprintf(stderr, "vbx-sni-watcher: cannot take the watcher's name\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return QCoreApplication::exec();
}
