// vbx-fake-player: MPRIS players of one process of their own, for tests
// that need players of separate programs (the bridge takes every name a
// process holds for one player). Reads one command a line on its standard
// input and answers each with "ok" or "error: ..." once it is done:
//
//   own N SUFFIX        take org.mpris.MediaPlayer2.SUFFIX on connection N
//                       (the connection is opened with the first name)
//   release N SUFFIX    give that name up
//   close N             close connection N
//   track ARTIST|TITLE|SECONDS   the track of every connection, signalled
//   status STATUS       Playing, Paused or Stopped, signalled
//   quit                end (every connection closes)

#include "tests/mpris/FakePlayer.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

class CHost {
public:
    std::string Run(const std::string& line) {
        std::istringstream words(line);
        std::string command;
        words >> command;
        if (command == "own" || command == "release" || command == "close") {
            int connection = 0;
            std::string suffix;
            words >> connection >> suffix;
            if (command == "close") {
                mPlayers.erase(connection);
                return "ok";
            }
            auto it = mPlayers.find(connection);
            if (command == "release")
                return it != mPlayers.end() && it->second->Release(QString::fromStdString(suffix)) ? "ok"
                                                                                                : "error: not held";
            if (it == mPlayers.end()) {
                auto player = std::make_unique<CFakePlayer>(QString::fromStdString(suffix));
                player->Properties() = mProperties;
                if (!player->Appear())
                    return "error: cannot take the name";
                mPlayers.emplace(connection, std::move(player));
                return "ok";
            }
            return it->second->AlsoOwn(QString::fromStdString(suffix)) ? "ok" : "error: cannot take the name";
        }
        if (command == "track") {
            std::string rest;
            std::getline(words >> std::ws, rest);
            std::istringstream fields(rest);
            std::string artist, title, seconds;
            std::getline(fields, artist, '|');
            std::getline(fields, title, '|');
            std::getline(fields, seconds, '|');
            const QString id = QStringLiteral("/track/") + QString::number(++mTracks);
            Change(QStringLiteral("Metadata"),
                   CFakePlayer::Metadata(id, {QString::fromStdString(artist)}, QString::fromStdString(title),
                                         QStringLiteral("Album"), std::stoll(seconds) * 1000000,
                                         QStringLiteral("file:///music/") + QString::fromStdString(title) + ".mp3"));
            return "ok";
        }
        if (command == "status") {
            std::string status;
            words >> status;
            Change(QStringLiteral("PlaybackStatus"), QString::fromStdString(status));
            return "ok";
        }
        if (command == "quit") {
            mPlayers.clear();
            QCoreApplication::quit();
            return "ok";
        }
        return "error: unknown command";
    }

private:
    void Change(const QString& property, const QVariant& value) {
        mProperties[property] = value;
        for (auto& [connection, player] : mPlayers)
            player->Change({{property, value}});
    }

    QVariantMap mProperties{{QStringLiteral("PlaybackStatus"), QStringLiteral("Stopped")},
                            {QStringLiteral("Metadata"), QVariantMap()},
                            {QStringLiteral("Position"), qlonglong(0)}};
    std::map<int, std::unique_ptr<CFakePlayer>> mPlayers;
    int mTracks = 0;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    CHost host;
    std::string pending;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            QCoreApplication::quit();
            return;
        }
        pending.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            const std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            std::cout << host.Run(line) << std::endl;
        }
    });
    return QCoreApplication::exec();
}
