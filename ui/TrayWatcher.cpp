#include "ui/TrayWatcher.h"

#include "app/Logger.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace {

const QString kWatcherInterface = QStringLiteral("org.kde.StatusNotifierWatcher");

xcb_atom_t Atom(xcb_connection_t* connection, const std::string& name) {
    const xcb_intern_atom_cookie_t cookie =
        xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(name.size()), name.c_str());
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(connection, cookie, nullptr), &std::free);
    return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

/// The screen number of DISPLAY (":0.1" is screen 1), 0 when it names none.
int ScreenNumber() {
    const char* display = std::getenv("DISPLAY");
    const char* dot = display != nullptr ? std::strrchr(display, '.') : nullptr;
    const char* colon = display != nullptr ? std::strrchr(display, ':') : nullptr;
    return dot != nullptr && colon != nullptr && dot > colon ? std::atoi(dot + 1) : 0;
}

} // namespace

CTrayWatcher::CTrayWatcher(QObject* parent) : QObject(parent) {
    WatchX11();
    WatchStatusNotifier();
}

CTrayWatcher::~CTrayWatcher() {
    if (mConnection != nullptr)
        QCoreApplication::instance()->removeNativeEventFilter(this);
}

void CTrayWatcher::WatchX11() {
    auto* x11 = qGuiApp != nullptr ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (x11 == nullptr || x11->connection() == nullptr)
        return;
    auto* connection = x11->connection();
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    const int number = ScreenNumber();
    for (int i = 0; i < number && screens.rem > 0; ++i)
        xcb_screen_next(&screens);
    if (screens.rem == 0)
        return;
    mConnection = connection;
    mTrayAtom = Atom(connection, "_NET_SYSTEM_TRAY_S" + std::to_string(number));
    mManagerAtom = Atom(connection, "MANAGER");
    // A tray that starts announces itself to the root window.
    SelectStructureEvents(screens.data->root);
    QCoreApplication::instance()->installNativeEventFilter(this);
    std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> owner(
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, mTrayAtom), nullptr),
        &std::free);
    if (owner && owner->owner != XCB_WINDOW_NONE) {
        mTrayOwner = owner->owner;
        SelectStructureEvents(mTrayOwner);
    }
}

void CTrayWatcher::SelectStructureEvents(std::uint32_t window) {
    auto* connection = static_cast<xcb_connection_t*>(mConnection);
    // Qt listens on the same windows: its events stay, these are added.
    std::unique_ptr<xcb_get_window_attributes_reply_t, decltype(&std::free)> attributes(
        xcb_get_window_attributes_reply(connection, xcb_get_window_attributes(connection, window), nullptr),
        &std::free);
    const std::uint32_t mask =
        (attributes ? attributes->your_event_mask : 0) | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(connection, window, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(connection);
}

bool CTrayWatcher::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (eventType != "xcb_generic_event_t")
        return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    switch (event->response_type & ~0x80) {
    case XCB_CLIENT_MESSAGE: {
        const auto* client = static_cast<const xcb_client_message_event_t*>(message);
        if (client->type == mManagerAtom && client->format == 32 && client->data.data32[1] == mTrayAtom)
            SetTrayOwner(client->data.data32[2]);
        break;
    }
    case XCB_DESTROY_NOTIFY: {
        const auto* destroyed = static_cast<const xcb_destroy_notify_event_t*>(message);
        if (mTrayOwner != 0 && destroyed->window == mTrayOwner)
            SetTrayOwner(0);
        break;
    }
    default:
        break;
    }
    return false;
}

void CTrayWatcher::SetTrayOwner(std::uint32_t window) {
    const bool before = IsPresent();
    mTrayOwner = window;
    if (window != 0)
        SelectStructureEvents(window);
    if (IsPresent() != before)
        emit presenceChanged(IsPresent());
}

void CTrayWatcher::WatchStatusNotifier() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    mpServiceWatcher = new QDBusServiceWatcher(QString::fromLatin1(kWatcherService), bus,
                                               QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(mpServiceWatcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& owner) {
                if (owner.isEmpty())
                    SetHost(false);
                else
                    AskForHost();
            });
    // A host registering later says so with a signal of the watcher.
    bus.connect(QString::fromLatin1(kWatcherService), QString::fromLatin1(kWatcherPath), kWatcherInterface,
                QStringLiteral("StatusNotifierHostRegistered"), this, SLOT(OnHostRegistered(QDBusMessage)));
    // Whether one is there now: asked once, synchronously, at start.
    QDBusMessage call = QDBusMessage::createMethodCall(QString::fromLatin1(kWatcherService),
                                                       QString::fromLatin1(kWatcherPath),
                                                       QStringLiteral("org.freedesktop.DBus.Properties"),
                                                       QStringLiteral("Get"));
    call << kWatcherInterface << QStringLiteral("IsStatusNotifierHostRegistered");
    const QDBusMessage reply = bus.call(call, QDBus::Block, 2000);
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
        mbHost = reply.arguments().first().value<QDBusVariant>().variant().toBool();
}

void CTrayWatcher::AskForHost() {
    QDBusMessage call = QDBusMessage::createMethodCall(QString::fromLatin1(kWatcherService),
                                                       QString::fromLatin1(kWatcherPath),
                                                       QStringLiteral("org.freedesktop.DBus.Properties"),
                                                       QStringLiteral("Get"));
    call << kWatcherInterface << QStringLiteral("IsStatusNotifierHostRegistered");
    auto* pending = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call, 5000), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* done) {
        done->deleteLater();
        const QDBusPendingReply<QDBusVariant> reply = *done;
        if (reply.isValid() && reply.value().variant().toBool())
            SetHost(true);
    });
}

void CTrayWatcher::OnHostRegistered(const QDBusMessage&) {
    SetHost(true);
}

void CTrayWatcher::SetHost(bool present) {
    const bool before = IsPresent();
    mbHost = present;
    VBX_LOG(3, "StatusNotifier host " << (present ? "present" : "gone") << "\n");
    if (IsPresent() != before)
        emit presenceChanged(IsPresent());
}
