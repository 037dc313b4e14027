#include "app_state.h"

#include "account/defaults_store.h"
#include "account/session.h"
#include "runtime/clock.h"
#include "core/state_trace.h"
#include "tunnel/reserve_tunnel_manager.h"
#include "tunnel/tunnel_manager.h"

#include <QPointer>

#include <QSet>

#include <algorithm>

namespace qor {

namespace {
constexpr auto autoReconnectKey = "settings.autoReconnectEnabled";
constexpr auto appearanceKey = "settings.appearance";
constexpr auto liquidGlassKey = "settings.liquidGlass";
constexpr auto cascadeModeKey = "settings.cascadeMode";
constexpr auto connectModeKey = "settings.connectMode";

QString key(const char *k) { return QString::fromLatin1(k); }
} // namespace

AppState::AppState(AppServices services, QObject *parent)
    : QObject(parent), m_services(services)
{
    loadSettings();
    // The managers may outlive this object: their receivers hold it weakly.
    m_services.tunnel.onStatusChange = [self = QPointer<AppState>(this)](int status) {
        if (self)
            self->handleTunnelStatus(status, TunnelSource::Main);
    };
    m_services.reserveTunnel.onStatusChange = [self = QPointer<AppState>(this)](int status) {
        if (self)
            self->handleTunnelStatus(status, TunnelSource::Reserve);
    };
    restoreSession();
    startup();
    startSubscriptionWatch();
}

AppState::~AppState() = default;

QDateTime AppState::currentTime() const
{
    return m_services.clock.now();
}

void AppState::openAddress(const QUrl &address)
{
    if (m_services.openAddress)
        m_services.openAddress(address);
}

void AppState::loadSettings()
{
    // Loading assigns the fields directly: reading a setting never writes it back.
    DefaultsStore &store = m_services.sharedDefaults;
    m_autoReconnectEnabled = store.boolValue(key(autoReconnectKey)).value_or(true);
    m_appearance = appearanceFromRaw(store.textValue(key(appearanceKey)).value_or(QString())).value_or(AppAppearance::System);
    m_liquidGlassEnabled = store.boolValue(key(liquidGlassKey)).value_or(false);
    const auto cascadeText = store.textValue(key(cascadeModeKey));
    m_cascadeMode = cascadeText == rawText(CascadeMode::Tavrin) ? CascadeMode::Tavrin : CascadeMode::Standard;
    const auto modeText = store.textValue(key(connectModeKey));
    if (const auto mode = connectModeFromRaw(modeText.value_or(QString())))
        m_connectMode = *mode;
    else
        m_connectMode = cascadeText == rawText(CascadeMode::Tavrin) ? ConnectMode::Tavrin : ConnectMode::Auto;
}

void AppState::setAuthStage(AuthStage value)
{
    publish(m_authStage, std::move(value), &AppState::authStageChanged);
}

void AppState::setSignOutNotice(std::optional<QString> value)
{
    publish(m_signOutNotice, std::move(value), &AppState::signOutNoticeChanged);
}

void AppState::setTelegramUsername(std::optional<QString> value)
{
    publish(m_telegramUsername, std::move(value), &AppState::telegramUsernameChanged);
}

void AppState::setTelegramAvatarDataURI(std::optional<QString> value)
{
    publish(m_telegramAvatarDataURI, std::move(value), &AppState::telegramAvatarDataURIChanged);
}

void AppState::setSubscriptionURL(std::optional<QString> value)
{
    publish(m_subscriptionURL, std::move(value), &AppState::subscriptionURLChanged);
}

void AppState::setAwgConfigsJSON(std::optional<QString> value)
{
    publish(m_awgConfigsJSON, std::move(value), &AppState::awgConfigsJSONChanged);
}

void AppState::setXrayConfigsJSON(std::optional<QString> value)
{
    publish(m_xrayConfigsJSON, std::move(value), &AppState::xrayConfigsJSONChanged);
}

void AppState::setTavrinKey(std::optional<QString> value)
{
    publish(m_tavrinKey, std::move(value), &AppState::tavrinKeyChanged);
}

void AppState::setSessionWarning(std::optional<QString> value)
{
    publish(m_sessionWarning, std::move(value), &AppState::sessionWarningChanged);
}

void AppState::setToast(std::optional<QString> value)
{
    publish(m_toast, std::move(value), &AppState::toastChanged);
}

void AppState::setConnectionError(std::optional<QString> value)
{
    publish(m_connectionError, std::move(value), &AppState::connectionErrorChanged);
}

void AppState::setConnectionProgress(std::optional<QString> value)
{
    publish(m_connectionProgress, std::move(value), &AppState::connectionProgressChanged);
}

void AppState::setNeedsExtensionApproval(bool value)
{
    publish(m_needsExtensionApproval, std::move(value), &AppState::needsExtensionApprovalChanged);
}

void AppState::setCorporateFromStorage(bool value)
{
    publish(m_corporateFromStorage, std::move(value), &AppState::corporateFromStorageChanged);
}

void AppState::setMeasuringLatency(bool value)
{
    publish(m_measuringLatency, std::move(value), &AppState::measuringLatencyChanged);
}

void AppState::setLatencyNeedsDisconnect(bool value)
{
    publish(m_latencyNeedsDisconnect, std::move(value), &AppState::latencyNeedsDisconnectChanged);
}

void AppState::setConnectionState(ConnectionState state, const QDateTime &since)
{
    m_connectionState = state;
    m_connectedSince = state == ConnectionState::Connected ? since : QDateTime();
    Q_EMIT connectionStateChanged();
}

void AppState::setTarget(const ConnectionTarget &value)
{
    m_target = value;
    Q_EMIT targetChanged();
}

void AppState::setAutoReconnectEnabled(bool value)
{
    m_services.sharedDefaults.setBool(key(autoReconnectKey), value);
    publish(m_autoReconnectEnabled, value, &AppState::autoReconnectEnabledChanged);
}

void AppState::setAppearance(AppAppearance value)
{
    m_services.sharedDefaults.setText(key(appearanceKey), rawText(value));
    publish(m_appearance, value, &AppState::appearanceChanged);
}

void AppState::setLiquidGlassEnabled(bool value)
{
    m_services.sharedDefaults.setBool(key(liquidGlassKey), value);
    publish(m_liquidGlassEnabled, value, &AppState::liquidGlassEnabledChanged);
}

void AppState::setCascadeMode(CascadeMode value)
{
    m_services.sharedDefaults.setText(key(cascadeModeKey), rawText(value));
    publish(m_cascadeMode, value, &AppState::cascadeModeChanged);
}

void AppState::setConnectMode(ConnectMode value)
{
    m_connectMode = value;
    if (value != ConnectMode::Reserve)
        m_services.sharedDefaults.setText(key(connectModeKey), rawText(value));
    Q_EMIT connectModeChanged();
}

void AppState::setSubscription(const SubscriptionInfo &value)
{
    m_subscription = value;
    Q_EMIT subscriptionChanged();
}

void AppState::setCorporateSavedAt(std::optional<QDateTime> value)
{
    publish(m_corporateSavedAt, std::move(value), &AppState::corporateSavedAtChanged);
}

void AppState::setNodeLatency(const QString &endpoint, quint64 milliseconds)
{
    m_nodeLatency.insert(endpoint, milliseconds);
    Q_EMIT nodeLatencyChanged();
}

void AppState::refreshDirectNodes()
{
    if (!m_xrayConfigsJSON) {
        m_directNodes.clear();
        Q_EMIT directNodesChanged();
        return;
    }
    m_directNodes = SubscriptionCatalog::parse(*m_xrayConfigsJSON).nodes;
    Q_EMIT directNodesChanged();

    QSet<QString> endpoints;
    for (const DirectNode &node : m_directNodes)
        endpoints.insert(node.endpoint);
    const auto before = m_nodeLatency.size();
    m_nodeLatency.removeIf([&endpoints](const auto &entry) { return !endpoints.contains(entry.key()); });
    if (m_nodeLatency.size() != before)
        Q_EMIT nodeLatencyChanged();

    if (!m_target.isNode() || endpoints.contains(m_target.endpoint()))
        return;
    // The chosen node has left the list: fall back to the balancer and say so.
    setTarget(ConnectionTarget::balancer());
    preferredTarget = ConnectionTarget::balancer();
    m_services.standardDefaults.remove(key(selectedNodeKey));
    setConnectionError(QStringLiteral("Выбранный узел больше не доступен — включён Qor AI Network"));
}

std::optional<DirectNode> AppState::savedSelectedNode() const
{
    const auto endpoint = m_services.standardDefaults.textValue(key(selectedNodeKey));
    if (!endpoint)
        return std::nullopt;
    const auto it = std::find_if(m_directNodes.cbegin(), m_directNodes.cend(),
                                 [&endpoint](const DirectNode &node) { return node.endpoint == *endpoint; });
    if (it == m_directNodes.cend())
        return std::nullopt;
    return *it;
}

void AppState::restoreSelectedNode()
{
    if (const auto node = savedSelectedNode()) {
        setTarget(ConnectionTarget::node(*node));
        preferredTarget = m_target;
    }
}

int AppState::measuredNodeCount() const
{
    return int(std::count_if(m_directNodes.cbegin(), m_directNodes.cend(),
                             [this](const DirectNode &node) { return m_nodeLatency.contains(node.endpoint); }));
}

QList<DirectNode> AppState::nodesByLatency() const
{
    QList<DirectNode> nodes = m_directNodes;
    std::stable_sort(nodes.begin(), nodes.end(), [this](const DirectNode &a, const DirectNode &b) {
        const auto la = m_nodeLatency.constFind(a.endpoint);
        if (la == m_nodeLatency.cend())
            return false;
        const auto lb = m_nodeLatency.constFind(b.endpoint);
        return lb == m_nodeLatency.cend() || *la < *lb;
    });
    return nodes;
}

void AppState::trace(const QString &message)
{
    m_services.trace.trace(message);
}

std::optional<QString> AppState::takeSignalFile(const QString &name)
{
    return m_services.trace.takeSignalFile(name);
}

QString AppState::connectionDuration(const QDateTime &now) const
{
    if (m_connectionState != ConnectionState::Connected)
        return formatConnectedDuration(0);
    return formatConnectedDuration(m_connectedSince.secsTo(now));
}

QString AppState::stateText() const
{
    if (m_connectionState != ConnectionState::Connected)
        return caseName(m_connectionState);
    return caseName(m_connectionState) + QLatin1Char('(')
        + m_connectedSince.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + QStringLiteral(" +0000)");
}

} // namespace qor
