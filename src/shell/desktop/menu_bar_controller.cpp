#include "menu_bar_controller.h"

#include "status_icons.h"
#include "update_controller.h"

#include "account/defaults_store.h"
#include "core/app_state.h"
#include "runtime/clock.h"
#include "shell/mac_preferences.h"
#include "tunnel/platform/vpn_profile.h"
#include "tunnel/traffic_monitor.h"
#include "tunnel/tunnel_profile_controller.h"
#include "ui/display_rules.h"

#include <QCoreApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QMenu>
#include <QPalette>
#include <QSystemTrayIcon>

namespace qor {

namespace {
Q_LOGGING_CATEGORY(lcMenuBar, "com.qorvpn.connect.menubar")

constexpr std::chrono::milliseconds quitLimit{3000};
constexpr std::chrono::milliseconds quitPoll{100};
const QString accessibleName = QStringLiteral("Qor Connect");

bool menuIsDark()
{
    return QGuiApplication::palette().color(QPalette::Window).lightness() < 128;
}
} // namespace

MenuBarController::MenuBarController(Services services, QObject *parent)
    : QObject(parent), m_services(services), m_menu(std::make_unique<QMenu>())
{
    terminate = [] { QCoreApplication::quit(); };
    // A fresh menu each time it opens, from the state as it is then.
    connect(m_menu.get(), &QMenu::aboutToShow, this, [this] { buildMenu(*m_menu); });
}

MenuBarController::~MenuBarController()
{
    // The status item refers to the menu; it goes first.
    m_statusItem.reset();
}

void MenuBarController::applicationDidFinishLaunching()
{
    m_statusItem = std::make_unique<QSystemTrayIcon>();
    m_statusItem->setToolTip(accessibleName);
    m_statusItem->setContextMenu(m_menu.get());
    m_statusItem->setIcon(status_icons::trayIcon(m_iconName));
    connect(m_statusItem.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason != QSystemTrayIcon::Trigger)
            return;
        // A left click opens the same menu where a menu can be placed at the pointer;
        // on Wayland a client cannot, so the click brings the window instead.
        if (QGuiApplication::platformName() == u"wayland")
            showWindow();
        else
            m_menu->popup(QCursor::pos());
    });
    if (QSystemTrayIcon::isSystemTrayAvailable())
        m_statusItem->show();
    else
        qCInfo(lcMenuBar) << "no status-bar host: the window is reached by launching the program again";
}

void MenuBarController::attach(AppState &app)
{
    for (const auto &observer : std::as_const(m_stateObservers))
        disconnect(observer);
    m_stateObservers.clear();
    m_app = &app;
    m_stateObservers.append(connect(&app, &AppState::connectionStateChanged, this, &MenuBarController::updateIcon));
    m_stateObservers.append(connect(&app, &AppState::targetChanged, this, &MenuBarController::updateIcon));
    updateIcon();
}

void MenuBarController::updateIcon()
{
    if (!m_app)
        return;
    const QString name = display::trayIconName(m_app->connectionState(), m_app->target().kind());
    if (name == m_iconName)
        return;
    m_iconName = name;
    if (m_statusItem)
        m_statusItem->setIcon(status_icons::trayIcon(name));
    Q_EMIT iconChanged();
}

void MenuBarController::buildMenu(QMenu &menu)
{
    menu.clear();
    AppState *app = m_app;
    const std::optional<ConnectionState> state = app ? std::optional(app->connectionState()) : std::nullopt;
    const bool connected = state == ConnectionState::Connected;
    const bool disconnected = !state || *state == ConnectionState::Disconnected;
    const ConnectMode mode = app ? app->connectMode() : ConnectMode::Auto;

    // 1. Header, with the mode's icon while connected.
    QAction *header = menu.addAction(display::menuHeaderTitle(state, mode));
    header->setEnabled(false);
    if (connected) {
        header->setIcon(status_icons::modeIcon(mode, menuIsDark()));
        header->setIconVisibleInMenu(true);
    }

    // 2–4. Time, speeds, totals.
    const QString duration = app ? app->connectionDuration(m_services.clock.now()) : formatConnectedDuration(0);
    menu.addAction(display::menuTimeLine(duration))->setEnabled(false);
    const TrafficMonitor &traffic = m_services.traffic;
    menu.addAction(display::menuSpeedLine(TrafficMonitor::formatSpeed(disconnected ? 0 : traffic.downloadBytesPerSecond()),
                                          TrafficMonitor::formatSpeed(disconnected ? 0 : traffic.uploadBytesPerSecond())))
        ->setEnabled(false);
    menu.addAction(display::menuTrafficLine(TrafficMonitor::formatBytes(traffic.sessionDownloadBytes()),
                                            TrafficMonitor::formatBytes(traffic.sessionUploadBytes())))
        ->setEnabled(false);
    menu.addSeparator();

    // 6–7. Connection and reserve.
    const bool itemsEnabled = display::connectionItemsEnabled(state);
    QAction *connectItem = menu.addAction(display::connectItemTitle(state), this, &MenuBarController::toggleConnection);
    connectItem->setEnabled(itemsEnabled);
    const bool reserveOn = app && display::reserveOn(app->target().kind(), app->connectionState());
    QAction *reserveItem = menu.addAction(display::reserveItemTitle(reserveOn), this, &MenuBarController::toggleReserve);
    reserveItem->setEnabled(itemsEnabled);
    menu.addSeparator();

    // 9–11. Window, updates, quit.
    menu.addAction(QStringLiteral("Открыть"), this, &MenuBarController::showWindow);
    QAction *updates = menu.addAction(QStringLiteral("Проверить обновления…"), this, &MenuBarController::checkForUpdates);
    updates->setEnabled(m_services.updates && m_services.updates->canCheckForUpdates());
    menu.addAction(QStringLiteral("Выход"), this, &MenuBarController::quit);
}

void MenuBarController::toggleConnection()
{
    if (m_app)
        m_app->tapGlobe();
}

void MenuBarController::toggleReserve()
{
    if (!m_app)
        return;
    if (display::reserveOn(m_app->target().kind(), m_app->connectionState()))
        m_app->tapGlobe();
    else
        m_app->connect(ConnectionTarget::reserve());
}

void MenuBarController::showWindow()
{
    if (openMainWindow)
        openMainWindow();
}

void MenuBarController::checkForUpdates()
{
    showWindow();
    if (m_services.updates)
        m_services.updates->checkForUpdates();
}

void MenuBarController::quit()
{
    if (m_quitWait.isPresent())
        return;
    if (!m_app || m_app->connectionState() == ConnectionState::Disconnected) {
        terminate();
        return;
    }
    qCInfo(lcMenuBar) << "quitting: bringing the tunnels down first";
    m_app->stopForQuit();
    waitForTunnelsThenTerminate(this, m_quitWait.start());
}

QCoro::Task<> MenuBarController::waitForTunnelsThenTerminate(QPointer<MenuBarController> self, CancelToken token)
{
    Clock &clock = self->m_services.clock;
    const auto deadline = clock.elapsed() + quitLimit;
    for (;;) {
        const auto main = self->m_services.mainTunnel.connectionStatus();
        const auto reserve = self->m_services.reserveTunnel.connectionStatus();
        const bool mainDown = !main || *main == int(VpnStatus::Invalid) || *main == int(VpnStatus::Disconnected);
        const bool reserveUp = reserve
            && (*reserve == int(VpnStatus::Connecting) || *reserve == int(VpnStatus::Connected)
                || *reserve == int(VpnStatus::Reasserting) || *reserve == int(VpnStatus::Disconnecting));
        if ((mainDown && !reserveUp) || clock.elapsed() >= deadline)
            break;
        const bool slept = co_await clock.sleep(quitPoll, token);
        if (!self || !slept || token.isCancelled())
            co_return;
    }
    if (!self->isQuitting())
        co_return;
    self->m_quitWait.clearIfCurrent(token);
    self->terminate();
}

void MenuBarController::windowBecameKey()
{
    if (applyWindowGlass)
        applyWindowGlass(m_services.sharedSettings.boolValue(QStringLiteral("settings.liquidGlass")).value_or(false));
}

bool MenuBarController::shouldTerminateAfterLastWindowClosed() const
{
    return !m_services.preferences.minimizeToMenuBar();
}

void MenuBarController::lastWindowClosed()
{
    if (shouldTerminateAfterLastWindowClosed())
        quit();
}

} // namespace qor
