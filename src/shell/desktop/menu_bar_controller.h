#pragma once

#include "runtime/task_handle.h"

#include <QCoroTask>
#include <QIcon>
#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>

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

    // Creates the status item (shown where the desktop has a status-bar host).
    void applicationDidFinishLaunching();
    // Follows the state's connection state and target from now on.
    void attach(AppState &app);

    // The symbol the item shows now.
    QString iconName() const { return m_iconName; }
    QSystemTrayIcon *statusItem() const { return m_statusItem.get(); }
    // The menu the item opens; rebuilt each time it is about to show.
    QMenu *menu() const { return m_menu.get(); }
    // Fills `menu` with the eleven items as things stand.
    void buildMenu(QMenu &menu);

    // The menu's actions.
    void toggleConnection();
    void toggleReserve();
    void showWindow();
    void checkForUpdates();
    void quit();

    // A main window became active: the glass mode from the stored setting.
    void windowBecameKey();
    // The last main window closed: the process stays with minimize-to-menu-bar,
    // quits (through quit()) otherwise.
    void lastWindowClosed();
    bool shouldTerminateAfterLastWindowClosed() const;
    // A quit is waiting for the tunnels to come down.
    bool isQuitting() const { return m_quitWait.isPresent(); }

Q_SIGNALS:
    void iconChanged();

private:
    void updateIcon();
    static QCoro::Task<> waitForTunnelsThenTerminate(QPointer<MenuBarController> self, CancelToken token);

    Services m_services;
    QPointer<AppState> m_app;
    QList<QMetaObject::Connection> m_stateObservers;
    std::unique_ptr<QMenu> m_menu;
    std::unique_ptr<QSystemTrayIcon> m_statusItem;
    QString m_iconName = QStringLiteral("globe");
    TaskHandle m_quitWait;
};

} // namespace qor
