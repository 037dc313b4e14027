// Whether a connected main channel carries traffic, the second try of auto mode,
// and the reconnect after an unexpected loss.

#include "app_state.h"

#include "runtime/clock.h"
#include "tunnel/traffic_monitor.h"

#include <QPointer>

#include <array>

namespace qor {

namespace {
constexpr std::chrono::seconds firstProbeDelay{3};
constexpr std::chrono::seconds probeInterval{5};
constexpr int patientProbes = 9;
// How long a fresh connection is left to the channel check's own patience.
constexpr std::chrono::seconds patientWindow = firstProbeDelay + probeInterval * (patientProbes - 1);
constexpr std::chrono::seconds recheckInterval{10};
constexpr int rechecks = 12;
constexpr qint64 workingTrafficBytes = 100000;
constexpr std::array<int, 6> reconnectDelays{1, 3, 5, 10, 20, 30};
constexpr std::chrono::seconds reconnectJudgeDelay{8};
} // namespace

const QString AppState::networkWarning = QStringLiteral("Сеть Qor ИИ недоступна — воспользуйтесь резервным подключением");

void AppState::startMainChannelCheck()
{
    mainChannelCheckLoop(mainChannelCheck.start());
}

QCoro::Task<> AppState::mainChannelCheckLoop(CancelToken token)
{
    QPointer<AppState> self(this);
    Clock &clock = m_services.clock;
    TrafficMonitor &traffic = m_services.traffic;
    // A switch to the reserve channel does not cancel the check (the main channel's
    // drop is ignored while the reserve is the target), so it ends here instead: the
    // reserve connection is never judged by the main channel's rules.
    const auto stillConnected = [&] {
        return self && !token.isCancelled() && self->connectionState() == ConnectionState::Connected
            && self->target().kind() != ConnectionTarget::Kind::Reserve;
    };
    const auto clearWarning = [&] {
        if (self->connectionError() == networkWarning)
            self->setConnectionError(std::nullopt);
    };

    co_await clock.sleep(firstProbeDelay, token);
    if (!self)
        co_return;
    const qint64 baseline = qint64(traffic.sessionDownloadBytes());
    const auto carriesTraffic = [&] { return qint64(traffic.sessionDownloadBytes()) - baseline > workingTrafficBytes; };

    for (int probe = 0;; ++probe) {
        if (!stillConnected())
            co_return;
        const bool answered = co_await m_services.probeConnectivity();
        if (!self)
            co_return;
        if (answered || carriesTraffic()) {
            clearWarning();
            co_return;
        }
        if (probe == patientProbes - 1)
            break;
        co_await clock.sleep(probeInterval, token);
        if (!self)
            co_return;
    }

    if (!stillConnected())
        co_return;
    setConnectionError(networkWarning);
    trace(QStringLiteral("main channel connected but carries no traffic (patient window elapsed)"));
    for (int recheck = 0; recheck < rechecks; ++recheck) {
        co_await clock.sleep(recheckInterval, token);
        if (!stillConnected())
            co_return;
        const bool answered = co_await m_services.probeConnectivity();
        if (!self)
            co_return;
        if (answered || carriesTraffic()) {
            clearWarning();
            co_return;
        }
    }
}

void AppState::checkChannelNow()
{
    // A resume is followed by several network events: they share the probe under way.
    if (channelRecheck.isPresent() || m_connectionState != ConnectionState::Connected)
        return;
    // A fresh connection is judged by the channel check's own patience; the network events
    // its new link and routes set off are no news about it.
    if (m_services.clock.now() < m_connectedSince.addSecs(patientWindow.count()))
        return;
    recheckChannel(channelRecheck.start());
}

QCoro::Task<> AppState::recheckChannel(CancelToken token)
{
    QPointer<AppState> self(this);
    const QDateTime since = m_connectedSince;
    const bool answered = co_await m_services.probeConnectivity();
    if (!self)
        co_return;
    channelRecheck.clearIfCurrent(token);
    // The answer is about the connection that was probed, not one made since.
    if (token.isCancelled() || m_connectionState != ConnectionState::Connected || m_connectedSince != since)
        co_return;
    if (answered) {
        if (m_connectionError == networkWarning)
            setConnectionError(std::nullopt);
        co_return;
    }
    if (m_autoReconnectEnabled) {
        trace(QStringLiteral("channel silent after a wake-up or network change: reconnecting"));
        connect();
    } else if (m_target.kind() != ConnectionTarget::Kind::Reserve) { // the warning points to the reserve as the way out
        setConnectionError(networkWarning);
        trace(QStringLiteral("channel silent after a wake-up or network change"));
    }
}

bool AppState::tryAutoFallback()
{
    if (m_connectMode != ConnectMode::Auto || autoTriedBoth)
        return false;
    if (m_target.kind() != ConnectionTarget::Kind::Balancer)
        return false;
    const QString key = m_tavrinKey.value_or(QString()).trimmed();
    if (!autoFellBackToTavrin && key.isEmpty())
        return false;
    autoTriedBoth = true;
    autoFellBackToTavrin = !autoFellBackToTavrin;
    trace(QStringLiteral("auto: первый канал не поднялся, пробую второй"));
    connect(std::nullopt, true);
    return true;
}

void AppState::scheduleReconnect()
{
    if (reconnectTask.isPresent())
        return;
    reconnectLoop(reconnectTask.start());
}

QCoro::Task<> AppState::reconnectLoop(CancelToken token)
{
    QPointer<AppState> self(this);
    Clock &clock = m_services.clock;
    for (;;) {
        if (!self)
            co_return;
        if (reconnectAttempt >= int(reconnectDelays.size())) {
            reconnectTask.clearIfCurrent(token);
            Q_EMIT reconnectGaveUp();
            co_return;
        }
        const auto delay = std::chrono::seconds(reconnectDelays[reconnectAttempt]);
        ++reconnectAttempt;
        co_await clock.sleep(delay, token);
        if (!self)
            co_return;
        if (token.isCancelled() || !m_autoReconnectEnabled || m_connectionState != ConnectionState::Disconnected) {
            reconnectTask.clearIfCurrent(token);
            co_return;
        }
        connect();
        co_await clock.sleep(reconnectJudgeDelay, token);
        if (!self)
            co_return;
        if (token.isCancelled() || m_connectionState == ConnectionState::Connected) {
            reconnectTask.clearIfCurrent(token);
            co_return;
        }
    }
}

} // namespace qor
