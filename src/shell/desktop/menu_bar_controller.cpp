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
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
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
constexpr std::chrono::milliseconds menuTick{1000};
constexpr int hostReadLimitMs = 5000;
constexpr qsizetype menuItemCount = 11;
const QString accessibleName = QStringLiteral("Qor Connect");
const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString watcherPath = QStringLiteral("/StatusNotifierWatcher");

bool menuIsDark()
{
    return QGuiApplication::palette().color(QPalette::Window).lightness() < 128;
}

QString stateWord(std::optional<ConnectionState> state)
{
    switch (state.value_or(ConnectionState::Disconnected)) {
    case ConnectionState::Connecting: return QStringLiteral("подключение…");
    case ConnectionState::Disconnecting: return QStringLiteral("отключение…");
    case ConnectionState::Connected: return QStringLiteral("подключено");
    case ConnectionState::Disconnected: break;
    }
    return QStringLiteral("отключено");
}
} // namespace

MenuBarController::MenuBarController(Services services, QObject *parent)
    : QObject(parent), m_services(services), m_menu(std::make_unique<QMenu>())
{
    terminate = [] { QCoreApplication::quit(); };
    buildMenu(*m_menu);
    connect(m_menu.get(), &QMenu::aboutToShow, this, &MenuBarController::refresh);
    TrafficMonitor *traffic = &m_services.traffic;
    for (const auto changed : {&TrafficMonitor::downloadBytesPerSecondChanged, &TrafficMonitor::uploadBytesPerSecondChanged,
                               &TrafficMonitor::sessionDownloadBytesChanged, &TrafficMonitor::sessionUploadBytesChanged})
        connect(traffic, changed, this, &MenuBarController::refresh);
    if (m_services.updates)
        connect(m_services.updates, &UpdateController::canCheckForUpdatesChanged, this, &MenuBarController::refresh);
}

MenuBarController::~MenuBarController()
{
    // The status item refers to the menu; it goes first.
    m_statusItem.reset();
}

void MenuBarController::applicationDidFinishLaunching()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        qCInfo(lcMenuBar) << "no session bus: no status-bar item; the window is reached by launching the program again";
        return;
    }
    m_hostWatcher = std::make_unique<QDBusServiceWatcher>(watcherService, bus, QDBusServiceWatcher::WatchForOwnerChange);
    connect(m_hostWatcher.get(), &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString &, const QString &, const QString &owner) {
                if (!owner.isEmpty())
                    return readHostRegistration();
                ++m_hostReads; // an answer still on its way is about the watcher that left
                setStatusBarAvailable(false);
            });
    // After either signal another host may still be registered: the property says.
    bus.connect(watcherService, watcherPath, watcherService, QStringLiteral("StatusNotifierHostRegistered"), this,
                SLOT(readHostRegistration()));
    bus.connect(watcherService, watcherPath, watcherService, QStringLiteral("StatusNotifierHostUnregistered"), this,
                SLOT(readHostRegistration()));
    readHostRegistration();
}

void MenuBarController::readHostRegistration()
{
    QDBusMessage call = QDBusMessage::createMethodCall(watcherService, watcherPath,
                                                       QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    call << watcherService << QStringLiteral("IsStatusNotifierHostRegistered");
    const quint64 read = ++m_hostReads;
    auto *pending = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call, hostReadLimitMs), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this, read](QDBusPendingCallWatcher *answered) {
        answered->deleteLater();
        if (read != m_hostReads)
            return;
        const QDBusPendingReply<QDBusVariant> reply = *answered;
        setStatusBarAvailable(!reply.isError() && reply.value().variant().toBool());
    });
}

void MenuBarController::setStatusBarAvailable(bool available)
{
    if (available == m_statusBarAvailable)
        return;
    m_statusBarAvailable = available;
    qCInfo(lcMenuBar) << (available ? "status-bar host registered: showing the item" : "no status-bar host: the item is gone");
    if (available)
        createStatusItem();
    else
        m_statusItem.reset();
    m_services.preferences.setStatusBarAvailable(available);
    m_statusBarWait.cancel();
    Q_EMIT statusBarAvailableChanged();
}

void MenuBarController::createStatusItem()
{
    m_statusItem = std::make_unique<QSystemTrayIcon>();
    m_statusItem->setToolTip(toolTip());
    m_statusItem->setContextMenu(m_menu.get());
    m_statusItem->setIcon(status_icons::trayIcon(m_iconName));
    connect(m_statusItem.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason != QSystemTrayIcon::Trigger)
            return;
        // A left click opens the same menu where a menu can be placed at the pointer;
        // on Wayland a client cannot, so the click brings the window instead.
        if (QGuiApplication::platformName().startsWith(u"wayland"))
            showWindow();
        else
            m_menu->popup(QCursor::pos());
    });
    // Asked only now that a host is there (Qt settles on its D-Bus item at the first
    // question); a platform without items at all (offscreen) keeps it hidden.
    if (QSystemTrayIcon::isSystemTrayAvailable())
        m_statusItem->show();
    else
        qCInfo(lcMenuBar) << "a status-bar host is registered, but this platform shows no items";
}

void MenuBarController::whenStatusBarKnown(std::chrono::milliseconds patience, std::function<void(bool)> decided)
{
    if (m_statusBarAvailable)
        return decided(true);
    awaitStatusBar(this, m_statusBarWait.start(), patience, std::move(decided));
}

QCoro::Task<> MenuBarController::awaitStatusBar(QPointer<MenuBarController> self, CancelToken token,
                                                std::chrono::milliseconds patience, std::function<void(bool)> decided)
{
    // A host's arrival cancels the sleep.
    co_await self->m_services.clock.sleep(patience, token);
    if (!self || !self->m_statusBarWait.isCurrent(token))
        co_return;
    self->m_statusBarWait.clearIfCurrent(token);
    decided(self->m_statusBarAvailable);
}

void MenuBarController::attach(AppState &app)
{
    for (const auto &observer : std::as_const(m_stateObservers))
        disconnect(observer);
    m_stateObservers.clear();
    m_app = &app;
    m_stateObservers.append(connect(&app, &AppState::connectionStateChanged, this, &MenuBarController::stateChanged));
    m_stateObservers.append(connect(&app, &AppState::targetChanged, this, &MenuBarController::stateChanged));
    m_stateObservers.append(connect(&app, &AppState::connectModeChanged, this, &MenuBarController::stateChanged));
    m_stateObservers.append(connect(&app, &AppState::corporateChanged, this, &MenuBarController::refresh));
    stateChanged();
}

void MenuBarController::stateChanged()
{
    updateIcon();
    refresh();
    // The time and speed lines move by themselves while a tunnel is up or coming up.
    const bool moving = m_app && m_app->connectionState() != ConnectionState::Disconnected;
    if (moving && !m_ticker.isPresent())
        tick(this, m_ticker.start());
    else if (!moving)
        m_ticker.cancelAndClear();
}

QCoro::Task<> MenuBarController::tick(QPointer<MenuBarController> self, CancelToken token)
{
    Clock &clock = self->m_services.clock;
    for (;;) {
        const bool slept = co_await clock.sleep(menuTick, token);
        if (!self || !slept || token.isCancelled())
            co_return;
        self->refresh();
    }
}

void MenuBarController::refresh()
{
    buildMenu(*m_menu);
    // Each change is a signal to the host: only real ones are sent.
    if (const QString text = toolTip(); m_statusItem && m_statusItem->toolTip() != text)
        m_statusItem->setToolTip(text);
}

QString MenuBarController::toolTip() const
{
    return accessibleName + QStringLiteral(" — ") + stateWord(m_app ? std::optional(m_app->connectionState()) : std::nullopt);
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
    // The items are made once and then only updated: a menu that is open, or that a
    // host reads over D-Bus, keeps its items, and none is deleted while it is triggered.
    if (menu.actions().size() != menuItemCount) {
        menu.clear();
        for (int line = 0; line < 4; ++line)
            menu.addAction(QString())->setEnabled(false);
        menu.addSeparator();
        menu.addAction(QString(), this, &MenuBarController::toggleConnection);
        menu.addAction(QString(), this, &MenuBarController::toggleReserve);
        menu.addSeparator();
        menu.addAction(QStringLiteral("Открыть"), this, &MenuBarController::showWindow);
        menu.addAction(QStringLiteral("Проверить обновления…"), this, &MenuBarController::checkForUpdates);
        menu.addAction(QStringLiteral("Выход"), this, &MenuBarController::quit);
    }
    const QList<QAction *> items = menu.actions();
    AppState *app = m_app;
    const std::optional<ConnectionState> state = app ? std::optional(app->connectionState()) : std::nullopt;
    const bool connected = state == ConnectionState::Connected;
    const bool disconnected = !state || *state == ConnectionState::Disconnected;
    const ConnectMode mode = app ? app->connectMode() : ConnectMode::Auto;

    // 1. Header, with the mode's icon while connected (set only when it changes: a
    // QAction announces every icon it is given).
    QAction *header = items[0];
    header->setText(display::menuHeaderTitle(state, mode));
    const bool dark = menuIsDark();
    const QVariant iconFor = connected ? QVariant(int(mode) * 2 + int(dark)) : QVariant();
    if (header->data() != iconFor) {
        header->setData(iconFor);
        header->setIcon(connected ? status_icons::modeIcon(mode, dark) : QIcon());
        header->setIconVisibleInMenu(connected);
    }

    // 2–4. Time, speeds, totals.
    const QString duration = app ? app->connectionDuration(m_services.clock.now()) : formatConnectedDuration(0);
    items[1]->setText(display::menuTimeLine(duration));
    const TrafficMonitor &traffic = m_services.traffic;
    items[2]->setText(display::menuSpeedLine(TrafficMonitor::formatSpeed(disconnected ? 0 : traffic.downloadBytesPerSecond()),
                                             TrafficMonitor::formatSpeed(disconnected ? 0 : traffic.uploadBytesPerSecond())));
    items[3]->setText(display::menuTrafficLine(TrafficMonitor::formatBytes(traffic.sessionDownloadBytes()),
                                               TrafficMonitor::formatBytes(traffic.sessionUploadBytes())));

    // 6–7. Connection and reserve.
    const bool itemsEnabled = display::connectionItemsEnabled(state);
    items[5]->setText(display::connectItemTitle(state));
    items[5]->setEnabled(itemsEnabled);
    const bool reserveOn = app && display::reserveOn(app->target().kind(), app->connectionState());
    items[6]->setText(display::reserveItemTitle(reserveOn));
    // A company that withholds the reserve channel withholds it here as in the window.
    items[6]->setEnabled(itemsEnabled && (!app || reserveOn || !app->reserveBlockedByCompany()));

    // 9–11. Window, updates, quit.
    items[9]->setEnabled(m_services.updates && m_services.updates->canCheckForUpdates());
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
    else if (!m_app->reserveBlockedByCompany())
        m_app->connect(ConnectionTarget::reserve());
}

void MenuBarController::showWindow()
{
    if (openMainWindow)
        openMainWindow();
}

void MenuBarController::checkForUpdates()
{
    // Only the check: its result comes in a dialog of its own, and a window the user
    // closed stays closed.
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
    // Without a status bar a hidden window would leave nothing to bring it back from.
    return !m_statusBarAvailable || !m_services.preferences.minimizeToMenuBar();
}

void MenuBarController::lastWindowClosed()
{
    if (shouldTerminateAfterLastWindowClosed())
        quit();
}

} // namespace qor
