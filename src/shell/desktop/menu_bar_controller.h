#pragma once

#include "runtime/task_handle.h"

#include <QCoroTask>
#include <QIcon>
#include <QObject>
#include <QPointer>

#include <chrono>
#include <functional>
#include <memory>

class QDBusServiceWatcher;
class QMenu;
class QSystemTrayIcon;

namespace qor {

class AppState;
class Clock;
class DefaultsStore;
class MacPreferences;
class TrafficMonitor;
class TunnelProfileController;
class UpdateController;

// The status-bar item and its menu, and the application's answers about closing
// and quitting. Reads the application state and calls its operations; holds no
// connection logic. One per process, created by the application's main.
//
// The item exists only while a StatusNotifierItem host is registered with
// org.kde.StatusNotifierWatcher on the session bus: Qt decides once, when the first
// item is made, whether items go over D-Bus, so none is made before a host is there.
class MenuBarController : public QObject {
    Q_OBJECT
public:
    struct Services {
        Clock &clock;
        DefaultsStore &sharedSettings; // "settings.liquidGlass"
        MacPreferences &preferences;
        TrafficMonitor &traffic;
        TunnelProfileController &mainTunnel;
        TunnelProfileController &reserveTunnel;
        UpdateController *updates = nullptr; // absent: the update item stays disabled
    };

    explicit MenuBarController(Services services, QObject *parent = nullptr);
    ~MenuBarController() override;

    // Set by the application entry: shows (and if need be recreates) the main window.
    std::function<void()> openMainWindow;
    // Applies the window glass mode to every main window.
    std::function<void(bool glass)> applyWindowGlass;
    // Ends the process; QCoreApplication::quit() unless replaced.
    std::function<void()> terminate;

    // Follows the status-bar host from now on: the item appears when one registers
    // and goes with it.
    void applicationDidFinishLaunching();
    // Follows the state's connection state, target and mode from now on.
    void attach(AppState &app);

    // A status-bar host is registered, so the item exists.
    bool statusBarAvailable() const { return m_statusBarAvailable; }
    // Calls `decided(true)` as soon as a host is there, or `decided(false)` when none
    // came within `patience`.
    void whenStatusBarKnown(std::chrono::milliseconds patience, std::function<void(bool available)> decided);

    // The symbol the item shows now.
    QString iconName() const { return m_iconName; }
    // The item while a host shows it, else null.
    QSystemTrayIcon *statusItem() const { return m_statusItem.get(); }
    // The menu the item opens; kept current (the host may read it without showing it).
    QMenu *menu() const { return m_menu.get(); }
    // Fills `menu` with the eleven items as things stand (made once, then updated).
    void buildMenu(QMenu &menu);
    // "Qor Connect — подключено" and so on.
    QString toolTip() const;

    // The menu's actions.
    void toggleConnection();
    void toggleReserve();
    void showWindow();
    void checkForUpdates();
    void quit();

    // A main window became active: the glass mode from the stored setting.
    void windowBecameKey();
    // The last main window closed: the process stays with minimize-to-menu-bar while
    // a status bar shows the item, quits (through quit()) otherwise.
    void lastWindowClosed();
    bool shouldTerminateAfterLastWindowClosed() const;
    // A quit is waiting for the tunnels to come down.
    bool isQuitting() const { return m_quitWait.isPresent(); }

Q_SIGNALS:
    void iconChanged();
    void statusBarAvailableChanged();

private Q_SLOTS:
    void readHostRegistration();

private:
    void stateChanged();
    void refresh();
    void updateIcon();
    void setStatusBarAvailable(bool available);
    void createStatusItem();
    static QCoro::Task<> tick(QPointer<MenuBarController> self, CancelToken token);
    static QCoro::Task<> awaitStatusBar(QPointer<MenuBarController> self, CancelToken token,
                                        std::chrono::milliseconds patience, std::function<void(bool)> decided);
    static QCoro::Task<> waitForTunnelsThenTerminate(QPointer<MenuBarController> self, CancelToken token);

    Services m_services;
    QPointer<AppState> m_app;
    QList<QMetaObject::Connection> m_stateObservers;
    std::unique_ptr<QMenu> m_menu;
    std::unique_ptr<QSystemTrayIcon> m_statusItem;
    std::unique_ptr<QDBusServiceWatcher> m_hostWatcher;
    quint64 m_hostReads = 0;
    bool m_statusBarAvailable = false;
    QString m_iconName = QStringLiteral("globe");
    TaskHandle m_ticker;
    TaskHandle m_statusBarWait;
    TaskHandle m_quitWait;
};

} // namespace qor
