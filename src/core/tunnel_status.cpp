// Status reports of the two tunnels turned into the connection state the user
// sees; the stops; the start-up adoption of a tunnel that outlived the last run.

#include "app_state.h"

#include "runtime/clock.h"
#include "tunnel/reserve_tunnel_manager.h"
#include "tunnel/tavrin_helper.h"
#include "tunnel/traffic_monitor.h"
#include "tunnel/tunnel_manager.h"

#include <QPointer>

namespace qor {

namespace {
enum VpnStatus { Invalid = 0, Disconnected = 1, Connecting = 2, Connected = 3, Reasserting = 4, Disconnecting = 5 };

QString flagText(bool value) { return value ? QStringLiteral("true") : QStringLiteral("false"); }

bool isUp(std::optional<int> status)
{
    return status == Connecting || status == Connected || status == Reasserting;
}
} // namespace

void AppState::handleTunnelStatus(int status, TunnelSource source)
{
    const TunnelSource active = m_target.kind() == ConnectionTarget::Kind::Reserve ? TunnelSource::Reserve : TunnelSource::Main;
    const QString head = QStringLiteral("status ") + QString::number(status) + QStringLiteral(" from ") + rawText(source);
    if (source != active) {
        trace(head + QStringLiteral(" IGNORED (active=") + rawText(active) + QStringLiteral(", target=") + m_target.name() + QLatin1Char(')'));
        return;
    }
    trace(head + QStringLiteral(" (state=") + stateText() + QStringLiteral(", switching=") + flagText(switchingChannels)
          + QStringLiteral(", expected=") + flagText(expectedDisconnect) + QStringLiteral(", userStop=") + flagText(userInitiatedStop)
          + QLatin1Char(')'));

    if (status == Connecting || status == Connected || status == Reasserting)
        startReported = true;
    switch (status) {
    case Disconnecting:
        return;
    case Connected:
        reconnectAttempt = 0;
        setConnectionProgress(std::nullopt);
        expectedDisconnect = false;
        if (m_connectionState == ConnectionState::Connected)
            return;
        setConnectionState(ConnectionState::Connected, m_services.clock.now());
        if (m_adoptingTunnel)
            m_services.traffic.adoptSession();
        else
            m_services.traffic.beginSession();
        if (source == TunnelSource::Main)
            startMainChannelCheck();
        return;
    case Invalid:
    case Disconnected: {
        if (switchingChannels) {
            expectedDisconnect = false;
            setConnectionState(ConnectionState::Connecting);
            return;
        }
        const bool wasDisconnected = m_connectionState == ConnectionState::Disconnected;
        const bool wasConnected = m_connectionState == ConnectionState::Connected;
        setConnectionState(ConnectionState::Disconnected);
        setConnectionProgress(std::nullopt);
        mainChannelCheck.cancel();
        m_services.traffic.endSession();
        takeSignalFile(QStringLiteral("tunnel-checkpoint.txt"));
        if (const auto extensionError = takeSignalFile(QStringLiteral("tunnel-last-error.txt"))) {
            setConnectionError(*extensionError);
            trace(QStringLiteral("extension error: ") + *extensionError);
        }
        if (!wasDisconnected && !expectedDisconnect) {
            const bool userStopped = userInitiatedStop;
            expectedDisconnect = false;
            if (userStopped)
                return;
            if (wasConnected)
                Q_EMIT connectionLost();
            if (m_autoReconnectEnabled) {
                trace(QStringLiteral("auto-reconnect armed"));
                scheduleReconnect();
            }
            return;
        }
        expectedDisconnect = false;
        return;
    }
    case Connecting:
    case Reasserting:
        setConnectionState(ConnectionState::Connecting);
        return;
    default:
        setConnectionState(ConnectionState::Disconnected);
        return;
    }
}

QCoro::Task<> AppState::startup()
{
    QPointer<AppState> self(this);
    TunnelManager &tunnel = m_services.tunnel;
    ReserveTunnelManager &reserve = m_services.reserveTunnel;
    // The managers push the status of a tunnel they find; its session began earlier.
    m_adoptingTunnel = true;
    co_await tunnel.loadExisting();
    if (!self)
        co_return;
    co_await reserve.loadExisting();
    if (!self)
        co_return;
    const auto reserveStatus = reserve.connectionStatus();
    if (isUp(reserveStatus)) {
        setTarget(ConnectionTarget::reserve());
        handleTunnelStatus(*reserveStatus, TunnelSource::Reserve);
    } else {
        handleTunnelStatus(tunnel.connectionStatus().value_or(Invalid), TunnelSource::Main);
    }
    m_adoptingTunnel = false;
    co_await refreshSession();
    if (!self)
        co_return;
    m_startupFinished = true;
    Q_EMIT startupFinished();
}

void AppState::stopEverything()
{
    trace(QStringLiteral("stopEverything"));
    reconnectTask.cancelAndClear();
    reconnectAttempt = 0;
    connectTask.cancelAndClear();
    userInitiatedStop = true;
    expectedDisconnect = true;
    switchingChannels = false;
    setConnectionState(ConnectionState::Disconnecting);
    m_services.tunnel.stop();
    m_services.reserveTunnel.stop();
    // The client holds the user's key and its own connections; a stop, a sign-out or a
    // closed company window ends it too.
    m_services.tavrinHelper.stop();
    setConnectionState(ConnectionState::Disconnected);
    setConnectionProgress(std::nullopt);
}

void AppState::stopForQuit()
{
    expectedDisconnect = true;
    switchingChannels = false;
    reconnectTask.cancelAndClear();
    reconnectAttempt = 0;
    m_services.tunnel.stop();
    m_services.reserveTunnel.stop();
    m_services.tavrinHelper.stop();
}

void AppState::showToast(const QString &message, int seconds)
{
    setToast(message);
    toastTimer(toastTask.start(), seconds);
}

QCoro::Task<> AppState::toastTimer(CancelToken token, int seconds)
{
    QPointer<AppState> self(this);
    const bool waited = co_await m_services.clock.sleep(std::chrono::seconds(seconds), token);
    if (waited && self && !token.isCancelled())
        self->setToast(std::nullopt);
}

} // namespace qor
