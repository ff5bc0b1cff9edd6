#include "mpris/MprisBridge.h"

#include "app/EncodingUtils.h"
#include "app/Logger.h"
#include "mpris/ListenerOutbox.h"
#include "settings/IgnoreList.h"
#include "settings/MprisPlayers.h"
#include "settings/RegistryUtils.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>

#include <algorithm>
#include <chrono>
#include <ctime>

namespace {

const QString kPath = QStringLiteral("/org/mpris/MediaPlayer2");
const QString kRootInterface = QStringLiteral("org.mpris.MediaPlayer2");
const QString kPlayerInterface = QStringLiteral("org.mpris.MediaPlayer2.Player");
const QString kPropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kNamePrefix = QStringLiteral("org.mpris.MediaPlayer2.");
const QString kBusService = QStringLiteral("org.freedesktop.DBus");
const QString kBusPath = QStringLiteral("/org/freedesktop/DBus");
constexpr std::size_t kMaxRecorded = 4096;

std::int64_t SteadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

QDBusMessage BusCall(const QString& method) {
    return QDBusMessage::createMethodCall(kBusService, kBusPath, kBusService, method);
}

} // namespace

CMprisBridge::CMprisBridge(QDBusConnection bus, CListenerOutbox& outbox, QObject* parent)
    : QObject(parent), mBus(std::move(bus)), mOutbox(outbox), mClock(SteadyMs) {
    mOutbox.SetLostHandler([this] {
        for (auto& [process, entry] : mProcesses)
            entry.player->Resend();
    });
    mOutbox.SetRefusedHandler([this](const std::string& pluginId, CPluginLine::ECode code, const std::string& reply) {
        for (auto& [process, entry] : mProcesses)
            if (entry.player->BusName() == pluginId)
                entry.player->OnRefused(code, reply);
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
    // The connection's own signal when the bus goes away.
    mBus.connect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"), QStringLiteral("org.freedesktop.DBus.Local"),
                 QStringLiteral("Disconnected"), this, SLOT(OnDisconnected(QDBusMessage)));
    // Only owner changes of MPRIS names wake the bridge. The pattern has no
    // dot before the "*": Qt turns "prefix.*" into a match rule the bus
    // refuses, and then reports nothing at all.
    mWatcher = new QDBusServiceWatcher(QStringLiteral("org.mpris.MediaPlayer2*"), mBus,
                                       QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(mWatcher, &QDBusServiceWatcher::serviceOwnerChanged, this, &CMprisBridge::OnOwnerChanged);

    const QDBusReply<QString> busId = mBus.call(BusCall(QStringLiteral("GetId")), QDBus::Block, kCallTimeoutMs);
    mAnnouncedFile.emplace(CAnnouncedFile::PathFor(busId.isValid() ? busId.value().toStdString() : std::string()));
    for (CAnnouncedFile::CEntry& entry : mAnnouncedFile->Read())
        mEarlier[QString::fromStdString(entry.owner)] = std::move(entry);

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
    // What an earlier bridge announced for a connection that has gone.
    std::set<QString> owners;
    for (const auto& [name, owner] : mNames)
        owners.insert(owner);
    for (auto it = mEarlier.begin(); it != mEarlier.end();) {
        if (owners.count(it->first) != 0) {
            ++it;
            continue;
        }
        StopStale(it->second.busName);
        it = mEarlier.erase(it);
    }
    SaveAnnounced();
    VBX_LOG(3, "Watching the session bus for players\n");
    return true;
}

void CMprisBridge::StopAll() {
    for (auto& [process, entry] : mProcesses)
        entry.player->OnVanished();
    for (const auto& [owner, entry] : mEarlier)
        StopStale(entry.busName);
    mEarlier.clear();
    SaveAnnounced();
}

void CMprisBridge::Reload() {
    const CIgnoreList ignore = CIgnoreList::FromStore();
    VBX_LOG(3, "Reading " << CIgnoreList::kValue << " again: '" << ignore.Text() << "'\n");
    std::vector<std::uint32_t> dropped;
    for (const auto& [process, entry] : mProcesses)
        if (ignore.Ignores(entry.player->BusName()))
            dropped.push_back(process);
    for (const std::uint32_t process : dropped)
        Drop(process);
    // Names not followed now are looked at again, as if they had just come.
    std::vector<std::pair<QString, QString>> again;
    for (const auto& [name, owner] : mNames)
        if (mOwnerProcess.count(owner) == 0 && mAsking.count(owner) == 0)
            again.emplace_back(name, owner);
    for (const auto& [name, owner] : again) {
        mNames.erase(name);
        Appear(name, owner);
    }
}

std::vector<std::string> CMprisBridge::Players() const {
    std::vector<std::string> ids;
    for (const auto& [process, entry] : mProcesses)
        ids.push_back(entry.player->BusName());
    return ids;
}

CMprisBridge::CProcess* CMprisBridge::ProcessOf(const QString& owner) {
    const auto known = mOwnerProcess.find(owner);
    if (known == mOwnerProcess.end())
        return nullptr;
    const auto it = mProcesses.find(known->second);
    return it == mProcesses.end() ? nullptr : &it->second;
}

CMprisPlayer* CMprisBridge::Find(const QString& owner) const {
    const auto known = mOwnerProcess.find(owner);
    if (known == mOwnerProcess.end())
        return nullptr;
    const auto it = mProcesses.find(known->second);
    // Only the connection that speaks for the player is heard: the others
    // of the same program tell the same things, perhaps a moment later.
    if (it == mProcesses.end() || it->second.owners.empty() || it->second.owners.front() != owner)
        return nullptr;
    return it->second.player.get();
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
    mNames[name] = owner;
    const std::string busName = name.toStdString();
    RequestIdentity(name, owner);
    if (CIgnoreList::FromStore().Ignores(busName)) {
        VBX_LOG(3, "Ignoring player " << busName << " (" << CIgnoreList::kValue << ")\n");
        const auto earlier = mEarlier.find(owner);
        if (earlier != mEarlier.end() && earlier->second.busName == busName) {
            StopStale(busName);
            mEarlier.erase(earlier);
            SaveAnnounced();
        }
        return;
    }
    if (const auto process = mOwnerProcess.find(owner); process != mOwnerProcess.end()) {
        Follow(name, owner, process->second);
        return;
    }
    if (!mAsking.insert(owner).second)
        return; // its process is being asked for already
    QDBusMessage call = BusCall(QStringLiteral("GetConnectionUnixProcessID"));
    call << owner;
    auto* watcher = new QDBusPendingCallWatcher(mBus.asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, owner](QDBusPendingCallWatcher* done) {
        done->deleteLater();
        mAsking.erase(owner);
        const QDBusPendingReply<std::uint32_t> reply = *done;
        std::uint32_t process = 0;
        if (reply.isValid()) {
            process = reply.value();
        } else {
            VBX_LOG(2, "The bus does not tell the process of " << owner.toStdString() << " ("
                                                              << reply.error().message().toStdString()
                                                              << "); it is a player of its own\n");
            process = mNextUnknownProcess++;
        }
        Place(owner, process);
        // Players whose last connection went while this was asked for,
        // and that no connection took over.
        if (mAsking.empty()) {
            std::vector<std::uint32_t> left;
            for (const auto& [id, entry] : mProcesses)
                if (entry.owners.empty())
                    left.push_back(id);
            for (const std::uint32_t id : left)
                Leave(id);
        }
    });
}

void CMprisBridge::Place(const QString& owner, std::uint32_t process) {
    const CIgnoreList ignore = CIgnoreList::FromStore();
    // The names it holds now (it may have dropped some while the bus was
    // asked), in a fixed order.
    for (const auto& [name, nameOwner] : mNames) {
        if (nameOwner == owner && !ignore.Ignores(name.toStdString()))
            Follow(name, owner, process);
    }
}

void CMprisBridge::Follow(const QString& name, const QString& owner, std::uint32_t process) {
    const std::string busName = name.toStdString();
    mOwnerProcess[owner] = process;
    CProcess& entry = mProcesses[process];
    const auto earlier = mEarlier.find(owner);
    if (entry.player) {
        if (std::find(entry.owners.begin(), entry.owners.end(), owner) == entry.owners.end())
            entry.owners.push_back(owner);
        if (entry.owners.size() == 1) {
            // Its other connections went meanwhile: this one speaks now.
            VBX_LOG(3, "Player " << entry.player->BusName() << " goes on under " << busName << "\n");
            RequestState(process);
        }
        if (earlier != mEarlier.end()) {
            // Announced under this player's id: it goes on; under another
            // id of the same program: that one is over.
            if (earlier->second.busName != entry.player->BusName())
                StopStale(earlier->second.busName);
            mEarlier.erase(earlier);
        }
        VBX_LOG(3, "Player " << busName << " is the program of " << entry.player->BusName() << ", counted once\n");
        return;
    }
    VBX_LOG(3, "Player appeared: " << busName << "\n");
    entry.owners = {owner};
    entry.player = std::make_unique<CMprisPlayer>(
        busName, mOutbox, [this, process] { RequestState(process); }, [this] { return mClock(); }, this);
    entry.player->SetMirrorCheck([this](const CMprisPlayer& asking, const CMprisMetadata& track) {
        return CountingSameTrack(asking, track);
    });
    entry.player->SetAnnouncedHandler([this] { SaveAnnounced(); });
    if (earlier != mEarlier.end()) {
        if (earlier->second.busName == busName) {
            CMprisPlayer::CAnnounced announced = earlier->second.announced;
            const std::int64_t away = mClock() - earlier->second.savedAtMs;
            if (!announced.paused && away > 0 && away < 24 * 60 * 60 * 1000)
                announced.playedMs += away;
            entry.player->Adopt(announced);
        } else {
            StopStale(earlier->second.busName);
        }
        mEarlier.erase(earlier);
    }
    RequestState(process);
}

void CMprisBridge::Vanish(const QString& name, const QString& owner) {
    const auto known = mNames.find(name);
    if (known == mNames.end() || known->second != owner)
        return;
    mNames.erase(known);
    for (const auto& [other, otherOwner] : mNames)
        if (otherOwner == owner)
            return; // the connection is still there under another name
    if (const auto earlier = mEarlier.find(owner); earlier != mEarlier.end()) {
        StopStale(earlier->second.busName);
        mEarlier.erase(earlier);
        SaveAnnounced();
    }
    const auto followed = mOwnerProcess.find(owner);
    if (followed == mOwnerProcess.end())
        return;
    const std::uint32_t process = followed->second;
    mOwnerProcess.erase(followed);
    const auto it = mProcesses.find(process);
    if (it == mProcesses.end())
        return;
    std::vector<QString>& owners = it->second.owners;
    const bool spoke = !owners.empty() && owners.front() == owner;
    owners.erase(std::remove(owners.begin(), owners.end(), owner), owners.end());
    if (owners.empty()) {
        // A connection whose process is still being asked for may be the
        // same program's (a player that moves its names to a new one):
        // the answer decides.
        if (mAsking.empty())
            Leave(process);
    } else if (spoke) {
        // Another connection of the program speaks for it from now on.
        RequestState(process);
    }
}

void CMprisBridge::Leave(std::uint32_t process) {
    const auto it = mProcesses.find(process);
    if (it == mProcesses.end())
        return;
    VBX_LOG(3, "Player left: " << it->second.player->BusName() << "\n");
    it->second.player->OnVanished();
    mProcesses.erase(it);
    SaveAnnounced();
}

void CMprisBridge::Drop(std::uint32_t process) {
    const auto it = mProcesses.find(process);
    if (it == mProcesses.end())
        return;
    VBX_LOG(3, "Player " << it->second.player->BusName() << " is ignored now, no longer followed\n");
    it->second.player->OnVanished();
    for (const QString& owner : it->second.owners)
        mOwnerProcess.erase(owner);
    mProcesses.erase(it);
    SaveAnnounced();
}

void CMprisBridge::RequestState(std::uint32_t process) {
    const auto it = mProcesses.find(process);
    if (it == mProcesses.end() || it->second.owners.empty())
        return;
    const QString owner = it->second.owners.front();
    QDBusMessage call = QDBusMessage::createMethodCall(owner, kPath, kPropertiesInterface, QStringLiteral("GetAll"));
    call << kPlayerInterface;
    auto* watcher = new QDBusPendingCallWatcher(mBus.asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, owner](QDBusPendingCallWatcher* done) {
        done->deleteLater();
        CMprisPlayer* player = Find(owner);
        if (player == nullptr)
            return; // left meanwhile, or another connection speaks now
        const QDBusMessage reply = done->reply();
        if (reply.type() == QDBusMessage::ErrorMessage) {
            StateFailed(mOwnerProcess.at(owner), owner,
                        reply.errorName().toStdString() + ": " + reply.errorMessage().toStdString());
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

void CMprisBridge::StateFailed(std::uint32_t process, const QString& owner, const std::string& error) {
    // A player that died in the middle of the call is about to be reported
    // gone; acting on its half-told state first would announce a track it
    // never played. The bus knows by now whether it is still there.
    QDBusMessage call = BusCall(QStringLiteral("NameHasOwner"));
    call << owner;
    auto* watcher = new QDBusPendingCallWatcher(mBus.asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, process, owner, error](QDBusPendingCallWatcher* done) {
                done->deleteLater();
                const QDBusPendingReply<bool> present = *done;
                const auto it = mProcesses.find(process);
                if (it == mProcesses.end())
                    return;
                CMprisPlayer& player = *it->second.player;
                if (present.isValid() && !present.value()) {
                    player.Oddity("call:vanished", "Left the bus in the middle of a call: " + error);
                    return;
                }
                player.OnStateFailed(error);
            });
}

void CMprisBridge::RequestIdentity(const QString& name, const QString& owner) {
    const std::string playerName = CIgnoreList::PlayerName(name.toStdString());
    // Once a run for each player (and not without end for a flood of them).
    if (mRecorded.count(playerName) != 0 || mRecorded.size() >= kMaxRecorded)
        return;
    mRecorded.emplace(playerName, std::string());
    QDBusMessage call = QDBusMessage::createMethodCall(owner, kPath, kPropertiesInterface, QStringLiteral("Get"));
    call << kRootInterface << QStringLiteral("Identity");
    auto* watcher = new QDBusPendingCallWatcher(mBus.asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, playerName](QDBusPendingCallWatcher* done) {
        done->deleteLater();
        const QDBusMessage reply = done->reply();
        std::string identity;
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
            const QVariant value = CMprisReader::Unwrap(reply.arguments().first());
            if (value.userType() == QMetaType::QString)
                identity = CMprisReader::CutUtf8(value.toString().toStdString(), CMprisReader::kMaxText);
        }
        if (identity.empty())
            identity = playerName;
        mRecorded[playerName] = identity;
        try {
            CMprisPlayers::Record({playerName, identity, static_cast<std::uint32_t>(std::time(nullptr))});
        } catch (const CRegistryUtils::CRegistryException& e) {
            VBX_LOG(1, "CRegistryException: " << e.what() << "\n");
        }
    });
}

std::string CMprisBridge::CountingSameTrack(const CMprisPlayer& asking, const CMprisMetadata& track) const {
    const auto same = [](const std::string& a, const std::string& b) {
        return CEncodingUtils::ToLowerAscii(a) == CEncodingUtils::ToLowerAscii(b);
    };
    if (track.artist.empty() && track.title.empty())
        return {};
    for (const auto& [process, entry] : mProcesses) {
        const CMprisPlayer& other = *entry.player;
        if (&other != &asking && other.IsCounting() && same(other.AnnouncedTrack().artist, track.artist) &&
            same(other.AnnouncedTrack().title, track.title))
            return other.BusName();
    }
    return {};
}

void CMprisBridge::SaveAnnounced() {
    if (!mAnnouncedFile)
        return;
    std::vector<CAnnouncedFile::CEntry> entries;
    const std::int64_t now = mClock();
    for (const auto& [process, entry] : mProcesses) {
        const auto announced = entry.player->Announced();
        if (!announced)
            continue;
        // Under every connection of the program: the next bridge may meet
        // any of them first.
        for (const QString& owner : entry.owners)
            entries.push_back({entry.player->BusName(), owner.toStdString(), *announced, now});
    }
    for (const auto& [owner, entry] : mEarlier)
        entries.push_back(entry);
    mAnnouncedFile->Write(entries);
}

void CMprisBridge::StopStale(const std::string& busName) {
    VBX_LOG(3, "Player " << busName << " ended while no bridge heard it: stopping what was announced\n");
    mOutbox.Send(busName, CPluginLine::kStop, CPluginLine::Simple(CPluginLine::kStop, busName));
}

void CMprisBridge::OnDisconnected(const QDBusMessage&) {
    VBX_LOG(1, "The session bus went away: stopping every player and ending\n");
    StopAll();
    emit busLost();
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
