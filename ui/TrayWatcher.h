#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>

#include <cstdint>

class QDBusMessage;
class QDBusServiceWatcher;

/// Tells whether a system tray is there to hold the program's icon, and
/// when one comes or goes, without ever polling:
/// - an X11 tray (XEmbed) through the X event stream: the owner of the
///   screen's tray selection, announced by its MANAGER message and followed
///   until its window is destroyed;
/// - a StatusNotifier host (KDE Plasma, GNOME with its tray extension, most
///   Wayland bars) through the session bus: the watcher's name, and its
///   word that a host has registered.
/// Asleep while nothing changes. The program's thread only.
class CTrayWatcher : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT
public:
    static constexpr const char* kWatcherService = "org.kde.StatusNotifierWatcher";
    static constexpr const char* kWatcherPath = "/StatusNotifierWatcher";

    explicit CTrayWatcher(QObject* parent = nullptr);
    ~CTrayWatcher() override;

    bool IsX11TrayPresent() const noexcept { return mTrayOwner != 0; }
    bool IsStatusNotifierHostPresent() const noexcept { return mbHost; }
    bool IsPresent() const noexcept { return IsX11TrayPresent() || IsStatusNotifierHostPresent(); }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

signals:
    /// A tray came (true) or the last one went (false).
    void presenceChanged(bool present);

private slots:
    void OnHostRegistered(const QDBusMessage& message);

private:
    void WatchX11();
    void WatchStatusNotifier();
    /// Asks the watcher whether a host is registered (the answer comes
    /// back later).
    void AskForHost();
    void SetTrayOwner(std::uint32_t window);
    void SetHost(bool present);
    /// Adds events to what this client hears of a window.
    void SelectStructureEvents(std::uint32_t window);

    // X11: the connection is Qt's own.
    void* mConnection = nullptr;
    std::uint32_t mTrayAtom = 0;
    std::uint32_t mManagerAtom = 0;
    std::uint32_t mTrayOwner = 0;
    QDBusServiceWatcher* mpServiceWatcher = nullptr;
    bool mbHost = false;
};
