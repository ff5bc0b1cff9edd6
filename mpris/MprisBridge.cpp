#include "mpris/MprisBridge.h"

#include "app/Logger.h"
#include "mpris/IgnoreList.h"
#include "mpris/ListenerOutbox.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>

#include <chrono>

namespace {

const QString kPath = QStringLiteral("/org/mpris/MediaPlayer2");
const QString kPlayerInterface = QStringLiteral("org.mpris.MediaPlayer2.Player");
const QString kPropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kNamePrefix = QStringLiteral("org.mpris.MediaPlayer2.");

std::int64_t SteadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

CMprisBridge::CMprisBridge(QDBusConnection bus, CListenerOutbox& outbox, QObject* parent)
    : QObject(parent), mBus(std::move(bus)), mOutbox(outbox), mClock(SteadyMs) {
    mOutbox.SetLostHandler([this] {
        for (auto& [owner, player] : mPlayers)
            player->Resend();
    });
    mOutbox.SetRefusedHandler([this](const std::string& pluginId, CPluginLine::ECode code, const std::string& reply) {
        for (auto& [owner, player] : mPlayers)
            if (player->BusName() == pluginId)
                player->OnRefused(code, reply);
    });
}

CMprisBridge::~CMprisBridge() {
    mOutbox.SetLostHandler({});
    mOutbox.SetRefusedHandler({});
}

bool CMprisBridge::Start() {
    if (!mBus.isConnected()) {
        VBX_LOG(1, "No session bus to watch: " << mBus.lastError().message().toStdString() << "\n");
        return false;
    }
    if (!mBus.registerService(QString::fromLatin1(kServiceName))) {
        VBX_LOG(1, "Another bridge already serves this session bus (" << kServiceName << " is taken)\n");
        return false;
    }
    const bool properties = mBus.connect(QString(), kPath, kPropertiesInterface, QStringLiteral("PropertiesChanged"),
                                         QStringList{kPlayerInterface}, QString(), this,
                                         SLOT(OnPropertiesChanged(QDBusMessage)));
    const bool seeked = mBus.connect(QString(), kPath, kPlayerInterface, QStringLiteral("Seeked"), this,
                                     SLOT(OnSeeked(QDBusMessage)));
    if (!properties || !seeked)
        VBX_LOG(1, "Couldn't subscribe to the players' signals: " << mBus.lastError().message().toStdString()
                                                                  << "\n");
    // Only owner changes of MPRIS names wake the bridge. The pattern has no
    // dot before the "*": Qt turns "prefix.*" into a match rule the bus
    // refuses, and then reports nothing at all.
    mWatcher = new QDBusServiceWatcher(QStringLiteral("org.mpris.MediaPlayer2*"), mBus,
                                       QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(mWatcher, &QDBusServiceWatcher::serviceOwnerChanged, this, &CMprisBridge::OnOwnerChanged);

    const QDBusReply<QStringList> names = mBus.interface()->registeredServiceNames();
    if (!names.isValid())
        VBX_LOG(1, "Couldn't list the names on the bus: " << names.error().message().toStdString() << "\n");
    for (const QString& name : names.value()) {
        if (!name.startsWith(kNamePrefix))
            continue;
        const QDBusReply<QString> owner = mBus.interface()->serviceOwner(name);
        if (owner.isValid())
            Appear(name, owner.value());
    }
    VBX_LOG(3, "Watching the session bus for players\n");
    return true;
}

void CMprisBridge::StopAll() {
    for (auto& [owner, player] : mPlayers)
        player->OnVanished();
}

std::vector<std::string> CMprisBridge::Players() const {
    std::vector<std::string> ids;
    for (const auto& [owner, player] : mPlayers)
        ids.push_back(player->BusName());
    return ids;
}

CMprisPlayer* CMprisBridge::Find(const QString& owner) const {
    const auto it = mPlayers.find(owner);
    return it == mPlayers.end() ? nullptr : it->second.get();
}

void CMprisBridge::OnOwnerChanged(const QString& name, const QString& oldOwner, const QString& newOwner) {
    if (!name.startsWith(kNamePrefix))
        return;
    if (!oldOwner.isEmpty())
        Vanish(name, oldOwner);
    if (!newOwner.isEmpty())
        Appear(name, newOwner);
}

void CMprisBridge::Appear(const QString& name, const QString& owner) {
    const auto known = mNames.find(name);
    if (known != mNames.end() && known->second == owner)
        return;
    const std::string busName = name.toStdString();
    if (CIgnoreList::FromStore().Ignores(busName)) {
        VBX_LOG(3, "Ignoring player " << busName << " (" << CIgnoreList::kValue << ")\n");
        return;
    }
    mNames[name] = owner;
    if (CMprisPlayer* player = Find(owner)) {
        VBX_LOG(3, "Player " << busName << " is the program of " << player->BusName() << ", counted once\n");
        return;
    }
    VBX_LOG(3, "Player appeared: " << busName << "\n");
    auto player = std::make_unique<CMprisPlayer>(
        busName, mOutbox, [this, owner] { RequestState(owner); }, [this] { return mClock(); }, this);
    mPlayers[owner] = std::move(player);
    RequestState(owner);
}

void CMprisBridge::Vanish(const QString& name, const QString& owner) {
    const auto known = mNames.find(name);
    if (known == mNames.end() || known->second != owner)
        return;
    mNames.erase(known);
    for (const auto& [other, otherOwner] : mNames)
        if (otherOwner == owner)
            return; // the program is still there under another name
    const auto it = mPlayers.find(owner);
    if (it == mPlayers.end())
        return;
    VBX_LOG(3, "Player left: " << it->second->BusName() << "\n");
    it->second->OnVanished();
    mPlayers.erase(it);
}

void CMprisBridge::RequestState(const QString& owner) {
    QDBusMessage call = QDBusMessage::createMethodCall(owner, kPath, kPropertiesInterface, QStringLiteral("GetAll"));
    call << kPlayerInterface;
    auto* watcher = new QDBusPendingCallWatcher(mBus.asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, owner](QDBusPendingCallWatcher* done) {
        done->deleteLater();
        CMprisPlayer* player = Find(owner);
        if (player == nullptr)
            return; // left meanwhile
        const QDBusMessage reply = done->reply();
        if (reply.type() == QDBusMessage::ErrorMessage) {
            StateFailed(owner, reply.errorName().toStdString() + ": " + reply.errorMessage().toStdString());
            return;
        }
        const QList<QVariant> arguments = reply.arguments();
        const auto map = arguments.isEmpty() ? std::nullopt : CMprisReader::ReadMap(arguments.first());
        if (!map) {
            player->OnStateFailed("the answer is not a property map");
            return;
        }
        player->OnState(*map);
    });
}

void CMprisBridge::StateFailed(const QString& owner, const std::string& error) {
    // A player that died in the middle of the call is about to be reported
    // gone; acting on its half-told state first would announce a track it
    // never played. The bus knows by now whether it is still there.
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                                       QStringLiteral("/org/freedesktop/DBus"),
                                                       QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
    call << owner;
    auto* watcher = new QDBusPendingCallWatcher(mBus.asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, owner, error](QDBusPendingCallWatcher* done) {
        done->deleteLater();
        const QDBusPendingReply<bool> present = *done;
        CMprisPlayer* player = Find(owner);
        if (player == nullptr)
            return;
        if (present.isValid() && !present.value()) {
            player->Oddity("call:vanished", "Left the bus in the middle of a call: " + error);
            return;
        }
        player->OnStateFailed(error);
    });
}

void CMprisBridge::OnPropertiesChanged(const QDBusMessage& message) {
    CMprisPlayer* player = Find(message.service());
    if (player == nullptr)
        return;
    const QList<QVariant> arguments = message.arguments();
    if (arguments.size() < 2 || arguments[0].userType() != QMetaType::QString ||
        arguments[0].toString() != kPlayerInterface) {
        player->Oddity("signal:PropertiesChanged", "PropertiesChanged with unexpected arguments, ignored");
        return;
    }
    const auto changed = CMprisReader::ReadMap(arguments[1]);
    if (!changed) {
        player->Oddity("signal:PropertiesChanged", "PropertiesChanged with unexpected arguments, ignored");
        return;
    }
    QStringList invalidated;
    if (arguments.size() > 2 && arguments[2].userType() == QMetaType::QStringList)
        invalidated = arguments[2].toStringList();
    player->OnPropertiesChanged(*changed, invalidated);
}

void CMprisBridge::OnSeeked(const QDBusMessage& message) {
    CMprisPlayer* player = Find(message.service());
    if (player == nullptr)
        return;
    const QList<QVariant> arguments = message.arguments();
    player->OnSeeked(arguments.isEmpty() ? QVariant() : arguments.first());
}
