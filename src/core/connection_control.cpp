// The connect operation and the controls that start, switch and stop channels.

#include "app_state.h"

#include "account/defaults_store.h"
#include "core/cascade_document.h"
#include "runtime/clock.h"
#include "runtime/error.h"
#include "tunnel/reserve_tunnel_manager.h"
#include "tunnel/system_extension_manager.h"
#include "tunnel/tavrin_entries.h"
#include "tunnel/tavrin_helper.h"
#include "tunnel/tavrin_resolver.h"
#include "tunnel/tunnel_manager.h"

#include <QPointer>
#include <QSet>

namespace qor {

namespace {
constexpr double stopWaitSeconds = 10;
constexpr int mainStartDeadlineSeconds = 6;
constexpr std::chrono::milliseconds startPollInterval{200};
constexpr double tavrinPrefetchSeconds = 2.5;
constexpr int tavrinPort = 1080;
constexpr int toastSeconds = 5;

const QString appStateDomain = QStringLiteral("AppState");

Error noAccessError()
{
    return Error(appStateDomain, 1, QStringLiteral("Нет активного доступа — войдите заново"));
}

bool isStarting(std::optional<int> status)
{
    return status == 2 || status == 3 || status == 4;
}
} // namespace

void AppState::recordNodeChoice(const ConnectionTarget &choice)
{
    const QString key = QString::fromLatin1(selectedNodeKey);
    if (choice.isNode())
        m_services.standardDefaults.setText(key, choice.endpoint());
    else
        m_services.standardDefaults.remove(key);
}

void AppState::connect(std::optional<ConnectionTarget> newTarget, bool keepAutoState)
{
    if (!keepAutoState) {
        autoFellBackToTavrin = false;
        autoTriedBoth = false;
    }
    if (newTarget) {
        setTarget(*newTarget);
        if (newTarget->kind() != ConnectionTarget::Kind::Reserve) {
            preferredTarget = *newTarget;
            recordNodeChoice(*newTarget);
        }
    }
    trace(QStringLiteral("connect -> ") + m_target.name());
    setConnectionState(ConnectionState::Connecting);
    setConnectionError(std::nullopt);
    userInitiatedStop = false;
    connectOperation(connectTask.start());
}

void AppState::refuse(const QString &text, const QString &traceLine)
{
    switchingChannels = false;
    setConnectionState(ConnectionState::Disconnected);
    setConnectionError(text);
    trace(traceLine);
}

void AppState::endCancelled(const CancelToken &token)
{
    // A newer connect or stopEverything has already set the flags; clearing
    // switchingChannels here would break the newer connect's channel switch.
    if (connectTask.isCurrent(token))
        switchingChannels = false;
}

QCoro::Task<> AppState::connectOperation(CancelToken token)
{
    QPointer<AppState> self(this);
    std::optional<QString> failure;
    bool awaitingApproval = false;
    try {
        co_await connectSteps(token);
    } catch (const AwaitingExtensionApproval &) {
        awaitingApproval = true;
    } catch (const Error &error) {
        failure = error.description();
    } catch (const std::exception &error) {
        failure = QString::fromUtf8(error.what());
    }
    if (!self || (!failure && !awaitingApproval))
        co_return;
    if (token.isCancelled()) {
        // The user stopped or a newer connect took over while this one was failing.
        endCancelled(token);
        co_return;
    }
    handleConnectFailure(awaitingApproval ? AwaitingExtensionApproval::description() : *failure, awaitingApproval);
}

void AppState::handleConnectFailure(const QString &description, bool awaitingApproval)
{
    switchingChannels = false;
    trace(QStringLiteral("connect FAILED: ") + description);
    if (tryAutoFallback())
        return;
    // Nothing runs the cascade now: its client, and the key it holds, go.
    m_services.tavrinHelper.stop();
    setConnectionState(ConnectionState::Disconnected);
    setConnectionProgress(std::nullopt);
    if (awaitingApproval)
        return;
    setConnectionError(description);
    // The reconnect's own attempts are told once, when it gives up.
    if (!reconnectTask.isPresent())
        Q_EMIT connectFailed(description);
}

QCoro::Task<> AppState::connectSteps(CancelToken token)
{
    QPointer<AppState> self(this);
    expectedDisconnect = true;
    switchingChannels = true;
    TunnelManager &tunnel = m_services.tunnel;
    ReserveTunnelManager &reserve = m_services.reserveTunnel;
    co_await tunnel.stopAndWait(stopWaitSeconds);
    if (!self)
        co_return;
    co_await reserve.stopAndWait(stopWaitSeconds);
    if (!self)
        co_return;
    if (token.isCancelled()) {
        endCancelled(token);
        co_return;
    }

    if (!co_await passCorporateGate(token) || !self)
        co_return;

    if (m_authStage != AuthStage::LoggedIn) {
        switchingChannels = false;
        setConnectionState(ConnectionState::Disconnected);
        co_return;
    }

    if (m_target.kind() == ConnectionTarget::Kind::Reserve)
        co_await connectReserve(token);
    else
        co_await connectMain(token);
}

QCoro::Task<bool> AppState::passCorporateGate(CancelToken token)
{
    QPointer<AppState> self(this);
    const QString expiredText = QStringLiteral("Не удалось получить правила компании. Подключитесь к интернету и попробуйте снова");
    const QString expiredLine = QStringLiteral("connect refused: stored policy expired");
    const QString closedLine = QStringLiteral("connect refused: corporate window closed");

    const bool fetched = co_await refreshCorporatePolicy();
    if (!self)
        co_return false;
    if (token.isCancelled()) {
        endCancelled(token);
        co_return false;
    }
    if (!corporateWindowClosed()) {
        if (!fetched && storedPolicyExpired()) {
            refuse(expiredText, expiredLine);
            co_return false;
        }
        co_return true;
    }
    if (fetched) {
        if (corporateWindowClosed()) {
            refuse(corporateClosedMessage(), closedLine);
            co_return false;
        }
        co_return true;
    }
    trace(QStringLiteral("window closed by stale data — asking again"));
    const bool again = co_await refreshCorporatePolicy();
    if (!self)
        co_return false;
    // A revocation in that refresh has signed out and stopped: nothing is left to refuse.
    if (token.isCancelled()) {
        endCancelled(token);
        co_return false;
    }
    if (!again) {
        trace(QStringLiteral("window unknown — server decides"));
        if (storedPolicyExpired()) {
            refuse(expiredText, expiredLine);
            co_return false;
        }
        co_return true;
    }
    if (corporateWindowClosed()) {
        refuse(corporateClosedMessage(), closedLine);
        co_return false;
    }
    co_return true;
}

QCoro::Task<> AppState::connectReserve(CancelToken token)
{
    QPointer<AppState> self(this);
    const QStringList configs = SubscriptionCatalog::reserveConfigs(m_awgConfigsJSON.value_or(QString()));
    if (configs.isEmpty())
        throw Error(appStateDomain, 5, QStringLiteral("Нет доступных резервных серверов"));
    const auto count = configs.size();
    setConnectionProgress(QStringLiteral("Подбираю сервер (может занять до ") + QString::number(30 * count) + QStringLiteral(" секунд)"));
    co_await ensureExtensions();
    if (!self)
        co_return;
    if (token.isCancelled()) {
        endCancelled(token);
        co_return;
    }
    trace(QStringLiteral("reserve: starting, ") + QString::number(count) + QStringLiteral(" servers"));
    m_services.tavrinHelper.stop(); // the reserve channel replaces the cascade
    startReported = false;
    co_await m_services.reserveTunnel.start(configs);
    if (!self)
        co_return;
    co_await waitForStart(token, true, int(10 * count + 10));
}

QCoro::Task<> AppState::connectMain(CancelToken token)
{
    QPointer<AppState> self(this);
    if (!m_xrayConfigsJSON)
        throw noAccessError();
    QString document;
    if (m_target.isNode()) {
        document = m_target.directNode().config;
    } else {
        const auto balancer = SubscriptionCatalog::parse(*m_xrayConfigsJSON).balancerConfig;
        if (!balancer)
            throw noAccessError();
        document = *balancer;
    }
    const QString key = m_tavrinKey.value_or(QString()).trimmed();

    if (m_target.isNode()) {
        setCascadeMode(CascadeMode::Standard); // a chosen node never runs through the cascade
    } else if (m_connectMode == ConnectMode::Auto) {
        setCascadeMode(!key.isEmpty() && autoFellBackToTavrin ? CascadeMode::Tavrin : CascadeMode::Standard);
        trace(QStringLiteral("auto: cascade=") + rawText(m_cascadeMode) + QStringLiteral(", запасной ход=")
              + (autoFellBackToTavrin ? QStringLiteral("true") : QStringLiteral("false")));
    }

    QStringList bypass;
    if (m_cascadeMode == CascadeMode::Standard) {
        m_services.tavrinHelper.stop();
    } else {
        if (key.isEmpty())
            throw Error(appStateDomain, 3, QStringLiteral("Tavrin не подключён к этому аккаунту — обратитесь в поддержку"));
        co_await m_services.tavrinResolver.prefetch(tavrinPrefetchSeconds);
        if (!self)
            co_return;
        // A stop during the prefetch must not launch a client holding the user's key.
        if (token.isCancelled()) {
            endCancelled(token);
            co_return;
        }
        const auto servers = m_services.tavrinResolver.serverList();
        m_services.tavrinHelper.start(key, servers.text);
        document = CascadeDocument::filled(tavrinPort);
        // The client's own connections to its entries must leave outside the tunnel.
        QSet<QString> seen;
        for (const QString &address : servers.addresses + m_services.tavrinResolver.builtInAddresses()) {
            if (!seen.contains(address)) {
                seen.insert(address);
                bypass.append(address);
            }
        }
    }

    co_await ensureExtensions();
    if (!self)
        co_return;
    if (token.isCancelled()) {
        endCancelled(token);
        co_return;
    }
    trace(QStringLiteral("main: starting (cascade=") + rawText(m_cascadeMode) + QLatin1Char(')'));
    std::optional<QVariantMap> policy;
    if (m_corporate && m_corporate->policy)
        policy = m_corporate->policy->dictionary();
    startReported = false;
    co_await m_services.tunnel.start(document, bypass, std::nullopt, policy);
    if (!self)
        co_return;
    co_await waitForStart(token, false, mainStartDeadlineSeconds);
}

QCoro::Task<> AppState::waitForStart(CancelToken token, bool reserve, int seconds)
{
    QPointer<AppState> self(this);
    Clock &clock = m_services.clock;
    const auto deadline = clock.elapsed() + std::chrono::seconds(seconds);
    for (;;) {
        // A stop or a newer connect, also during the start request, ends the wait quietly:
        // whoever cancelled has set the state, and the flags are the newer connect's.
        if (token.isCancelled()) {
            endCancelled(token);
            co_return;
        }
        if (clock.elapsed() >= deadline) {
            throw Error(appStateDomain, 7,
                        QStringLiteral("Не удалось начать подключение. Возможно, активно защищённое подключение другого приложения — "
                                       "отключите его и попробуйте снова."));
        }
        const auto status = reserve ? m_services.reserveTunnel.connectionStatus() : m_services.tunnel.connectionStatus();
        if (isStarting(status) || startReported) {
            switchingChannels = false;
            // A start that ended before this poll: its end, taken for a channel switch
            // while it happened, is handled now as any drop.
            if (!isStarting(status) && status)
                handleTunnelStatus(*status, reserve ? TunnelSource::Reserve : TunnelSource::Main);
            co_return;
        }
        co_await clock.sleep(startPollInterval, token);
        if (!self)
            co_return;
    }
}

void AppState::dismissExtensionApproval()
{
    setNeedsExtensionApproval(false);
}

QUrl AppState::extensionSettingsUrl() const
{
    return m_services.extensions.approvalSettingsUrl();
}

bool AppState::resumeAfterExtensionApproval()
{
    if (!awaitingExtensionApprovalReturn)
        return false;
    awaitingExtensionApprovalReturn = false;
    connect();
    return true;
}

QCoro::Task<> AppState::ensureExtensions()
{
    if (extensionsApproved)
        co_return;
    QPointer<AppState> self(this);
    co_await activateExtension(TunnelManager::providerIdentifier());
    if (!self)
        co_return;
    const QString reserveIdentifier = ReserveTunnelManager::providerIdentifier();
    if (m_services.extensions.bundleContainsExtension(reserveIdentifier)) {
        co_await activateExtension(reserveIdentifier);
        if (!self)
            co_return;
    }
    extensionsApproved = true;
}

QCoro::Task<> AppState::activateExtension(QString identifier)
{
    QPointer<AppState> self(this);
    SystemExtensionManager &extensions = m_services.extensions;
    const auto first = co_await extensions.activate(identifier); // an error here fails the connect
    if (first != SystemExtensionManager::ActivationResult::NeedsUserApproval || !self)
        co_return;
    co_await extensions.withdrawPendingRequest(identifier);
    if (!self)
        co_return;
    bool approved = false;
    try {
        approved = co_await extensions.activate(identifier) != SystemExtensionManager::ActivationResult::NeedsUserApproval;
    } catch (const std::exception &) {
        approved = false;
    }
    if (approved || !self)
        co_return;
    self->setNeedsExtensionApproval(true);
    self->awaitingExtensionApprovalReturn = true;
    throw AwaitingExtensionApproval{};
}

void AppState::tapGlobe()
{
    trace(QStringLiteral("tap globe (state=") + stateText() + QStringLiteral(", target=") + m_target.name() + QLatin1Char(')'));
    switch (m_connectionState) {
    case ConnectionState::Disconnected:
        connect();
        return;
    case ConnectionState::Connected:
    case ConnectionState::Connecting:
        stopEverything();
        return;
    case ConnectionState::Disconnecting:
        return;
    }
}

void AppState::applyCascade(ConnectMode mode)
{
    setCascadeMode(mode == ConnectMode::Tavrin ? CascadeMode::Tavrin : CascadeMode::Standard);
    if (mode == ConnectMode::Reserve) {
        setTarget(ConnectionTarget::reserve());
    } else {
        setTarget(ConnectionTarget::balancer());
        preferredTarget = ConnectionTarget::balancer();
    }
}

void AppState::selectMode(ConnectMode mode)
{
    if (mode == ConnectMode::Reserve)
        return;
    const bool hadNode = m_target.isNode();
    preferredMode = mode;
    setConnectMode(mode);
    applyCascade(mode);
    if (m_connectionState == ConnectionState::Disconnected) {
        if (hadNode)
            m_services.standardDefaults.remove(QString::fromLatin1(selectedNodeKey));
        return;
    }
    connect(ConnectionTarget::balancer());
}

void AppState::enableReserve()
{
    if (reserveBlockedByCompany()) {
        showToast(QStringLiteral("Недоступно в корпоративном доступе. Обратитесь к администратору вашей компании"), toastSeconds);
        return;
    }
    liveBeforeReserve = m_connectionState == ConnectionState::Connected;
    if (m_connectMode != ConnectMode::Reserve)
        preferredMode = m_connectMode;
    setConnectMode(ConnectMode::Reserve);
    applyCascade(ConnectMode::Reserve);
    connect(ConnectionTarget::reserve());
}

void AppState::disableReserve()
{
    trace(QStringLiteral("tap reserve-off -> ") + rawText(preferredMode));
    setConnectMode(preferredMode);
    applyCascade(preferredMode);
    reconnectTask.cancelAndClear();
    reconnectAttempt = 0;
    if (liveBeforeReserve) {
        connect(ConnectionTarget::balancer());
        setConnectionProgress(QStringLiteral("Переключение на основной канал —\nэто может занять до 30 секунд"));
    } else {
        stopEverything();
    }
}

} // namespace qor
