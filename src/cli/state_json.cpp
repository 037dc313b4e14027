#include "state_json.h"

#include "shell/state_texts.h"

#include "core/app_state.h"
#include "runtime/deployment.h"
#include "tunnel/traffic_monitor.h"

#include <QMetaEnum>

namespace qor::cli {

namespace {
QJsonValue text(const std::optional<QString> &value)
{
    return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null);
}

QJsonValue date(const std::optional<QDateTime> &value)
{
    if (!value || !value->isValid())
        return QJsonValue::Null;
    return value->toUTC().toString(Qt::ISODateWithMs);
}

// Credentials never leave the process: only whether they are there.
QJsonValue presence(const std::optional<QString> &value)
{
    return value ? QJsonValue(true) : QJsonValue(QJsonValue::Null);
}

template<typename T>
QJsonValue optionalNumber(const std::optional<T> &value)
{
    return value ? QJsonValue(qint64(*value)) : QJsonValue(QJsonValue::Null);
}

QString kindName(ConnectionTarget::Kind kind)
{
    switch (kind) {
    case ConnectionTarget::Kind::Node:
        return QStringLiteral("node");
    case ConnectionTarget::Kind::Reserve:
        return QStringLiteral("reserve");
    case ConnectionTarget::Kind::Balancer:
        break;
    }
    return QStringLiteral("balancer");
}

QJsonObject targetJson(const ConnectionTarget &target)
{
    return {{QStringLiteral("kind"), kindName(target.kind())},
            {QStringLiteral("name"), target.name()},
            {QStringLiteral("endpoint"), target.isNode() ? QJsonValue(target.endpoint()) : QJsonValue(QJsonValue::Null)}};
}

QJsonValue corporateJson(const std::optional<CorporateAccess> &record)
{
    if (!record)
        return QJsonValue::Null;
    QJsonValue policy = QJsonValue::Null;
    if (record->policy) {
        QJsonObject object = QJsonObject::fromVariantMap(record->policy->dictionary());
        object.insert(QStringLiteral("name"), text(record->policy->name));
        policy = object;
    }
    return QJsonObject{{QStringLiteral("company"), text(record->company)},
                       {QStringLiteral("reserveAllowed"), record->reserveAllowed},
                       {QStringLiteral("warnMinutes"), record->warnMinutes},
                       {QStringLiteral("sessionUntil"), date(record->sessionUntil)},
                       {QStringLiteral("sessionReason"), text(record->sessionReason)},
                       {QStringLiteral("policy"), policy}};
}

QJsonObject subscriptionJson(const SubscriptionInfo &info)
{
    return {{QStringLiteral("isActive"), info.isActive ? QJsonValue(*info.isActive) : QJsonValue(QJsonValue::Null)},
            {QStringLiteral("expiresAt"), date(info.expiresAt)},
            {QStringLiteral("trafficUsedBytes"), optionalNumber(info.trafficUsedBytes)},
            {QStringLiteral("trafficLimitBytes"), optionalNumber(info.trafficLimitBytes)}};
}
} // namespace

QJsonObject stateJson(const AppState &app, const TrafficMonitor &traffic, const QDateTime &now, bool demo)
{
    QJsonArray nodes;
    for (const DirectNode &node : app.directNodes()) {
        nodes.append(QJsonObject{{QStringLiteral("endpoint"), node.endpoint},
                                 {QStringLiteral("label"), SubscriptionCatalog::nodeDisplayLabel(node.endpoint)}});
    }
    QJsonObject latency;
    for (auto it = app.nodeLatency().cbegin(); it != app.nodeLatency().cend(); ++it)
        latency.insert(it.key(), qint64(it.value()));

    const bool connected = app.connectionState() == ConnectionState::Connected;
    const QJsonObject display{
        {QStringLiteral("statusTitle"), state_texts::statusTitle(app)},
        {QStringLiteral("statusSubtitle"), text(state_texts::statusSubtitle(app))},
        {QStringLiteral("targetName"), app.target().name()},
        {QStringLiteral("downloadSpeed"), TrafficMonitor::formatSpeed(traffic.downloadBytesPerSecond())},
        {QStringLiteral("uploadSpeed"), TrafficMonitor::formatSpeed(traffic.uploadBytesPerSecond())},
        {QStringLiteral("sessionDownload"), TrafficMonitor::formatBytes(traffic.sessionDownloadBytes())},
        {QStringLiteral("sessionUpload"), TrafficMonitor::formatBytes(traffic.sessionUploadBytes())},
        {QStringLiteral("networkHealthLevel"), state_texts::networkHealthLevel(app)},
        {QStringLiteral("nodeCountLine"), state_texts::nodeCountLine(app)},
        {QStringLiteral("corporateSession"), app.isCorporate() ? QJsonValue(app.corporateSessionSummary()) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("corporateStaleNotice"), text(app.corporateStaleNotice())},
        {QStringLiteral("accountName"), state_texts::accountName(app)},
        {QStringLiteral("subscriptionStatus"), state_texts::subscriptionStatusText(app.subscription())},
        {QStringLiteral("subscriptionExpires"), state_texts::expiresText(app.subscription())},
        {QStringLiteral("trafficLimit"), state_texts::trafficLimitText(app.subscription())},
        {QStringLiteral("trafficUsed"), state_texts::trafficUsedText(app.subscription())},
    };

    return QJsonObject{
        {QStringLiteral("format"), 1},
        {QStringLiteral("version"), deployment::version()},
        {QStringLiteral("demo"), demo},
        {QStringLiteral("authStage"), caseName(app.authStage())},
        {QStringLiteral("signOutNotice"), text(app.signOutNotice())},
        {QStringLiteral("telegramUsername"), text(app.telegramUsername())},
        {QStringLiteral("telegramAvatarDataURI"), text(app.telegramAvatarDataURI())},
        {QStringLiteral("subscriptionURL"), text(app.subscriptionURL())},
        {QStringLiteral("awgConfigsJSON"), presence(app.awgConfigsJSON())},
        {QStringLiteral("xrayConfigsJSON"), presence(app.xrayConfigsJSON())},
        {QStringLiteral("tavrinKey"), presence(app.tavrinKey())},
        {QStringLiteral("subscription"), subscriptionJson(app.subscription())},
        {QStringLiteral("connectionState"), caseName(app.connectionState())},
        {QStringLiteral("connectedSince"), connected ? date(app.connectedSince()) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("target"), targetJson(app.target())},
        {QStringLiteral("autoReconnectEnabled"), app.autoReconnectEnabled()},
        {QStringLiteral("appearance"), rawText(app.appearance())},
        {QStringLiteral("liquidGlassEnabled"), app.liquidGlassEnabled()},
        {QStringLiteral("cascadeMode"), rawText(app.cascadeMode())},
        {QStringLiteral("connectMode"), rawText(app.connectMode())},
        {QStringLiteral("needsExtensionApproval"), app.needsExtensionApproval()},
        {QStringLiteral("corporate"), corporateJson(app.corporate())},
        {QStringLiteral("corporateFromStorage"), app.corporateFromStorage()},
        {QStringLiteral("corporateSavedAt"), date(app.corporateSavedAt())},
        {QStringLiteral("sessionWarning"), text(app.sessionWarning())},
        {QStringLiteral("directNodes"), nodes},
        {QStringLiteral("nodeLatency"), latency},
        {QStringLiteral("measuringLatency"), app.measuringLatency()},
        {QStringLiteral("latencyNeedsDisconnect"), app.latencyNeedsDisconnect()},
        {QStringLiteral("toast"), text(app.toast())},
        {QStringLiteral("connectionError"), text(app.connectionError())},
        {QStringLiteral("connectionProgress"), text(app.connectionProgress())},
        {QStringLiteral("connectionDuration"), app.connectionDuration(now)},
        {QStringLiteral("downloadBytesPerSecond"), qint64(traffic.downloadBytesPerSecond())},
        {QStringLiteral("uploadBytesPerSecond"), qint64(traffic.uploadBytesPerSecond())},
        {QStringLiteral("sessionDownloadBytes"), qint64(traffic.sessionDownloadBytes())},
        {QStringLiteral("sessionUploadBytes"), qint64(traffic.sessionUploadBytes())},
        {QStringLiteral("display"), display},
    };
}

QJsonArray nodeRowsJson(const AppState &app)
{
    QJsonArray rows;
    const bool balancerChosen = app.target().kind() == ConnectionTarget::Kind::Balancer;
    rows.append(QJsonObject{{QStringLiteral("kind"), QStringLiteral("balancer")},
                            {QStringLiteral("label"), SubscriptionCatalog::balancerName},
                            {QStringLiteral("endpoint"), QJsonValue::Null},
                            {QStringLiteral("latencyMs"), QJsonValue::Null},
                            {QStringLiteral("latencyText"), QJsonValue::Null},
                            {QStringLiteral("selected"), balancerChosen}});
    for (const DirectNode &node : app.nodesByLatency()) {
        const auto found = app.nodeLatency().constFind(node.endpoint);
        const std::optional<quint64> latency = found == app.nodeLatency().cend() ? std::nullopt : std::optional<quint64>(*found);
        rows.append(QJsonObject{{QStringLiteral("kind"), QStringLiteral("node")},
                                {QStringLiteral("label"), SubscriptionCatalog::nodeDisplayLabel(node.endpoint)},
                                {QStringLiteral("endpoint"), node.endpoint},
                                {QStringLiteral("latencyMs"), optionalNumber(latency)},
                                {QStringLiteral("latencyText"), state_texts::latencyText(latency)},
                                {QStringLiteral("selected"), app.target().isNode() && app.target().endpoint() == node.endpoint}});
    }
    return rows;
}

} // namespace qor::cli
