// The few accessors and wrappers the QML screens need beyond AppState's published
// fields: optional values as QVariant (undefined when absent), operations with
// plain arguments, and the small actions of the sign-in and approval prompts.

#include "app_state.h"

#include "account/telegram_login_service.h"
#include "runtime/clock.h"
#include "tunnel/system_extension_manager.h"

namespace qor {

namespace {
template<typename T>
QVariant optionalValue(const std::optional<T> &value)
{
    return value ? QVariant::fromValue(*value) : QVariant();
}
} // namespace

QVariant AppState::subscriptionActiveValue() const
{
    return optionalValue(m_subscription.isActive);
}

QVariant AppState::subscriptionExpiresAtValue() const
{
    return optionalValue(m_subscription.expiresAt);
}

QVariant AppState::trafficUsedBytesValue() const
{
    // As a double: QML numbers, exact up to 2^53 bytes.
    return m_subscription.trafficUsedBytes ? QVariant(double(*m_subscription.trafficUsedBytes)) : QVariant();
}

QVariant AppState::trafficLimitBytesValue() const
{
    return m_subscription.trafficLimitBytes ? QVariant(double(*m_subscription.trafficLimitBytes)) : QVariant();
}

QVariant AppState::corporateCompanyValue() const
{
    return m_corporate ? optionalValue(m_corporate->company) : QVariant();
}

QDateTime AppState::currentTime() const
{
    return m_services.clock.now();
}

void AppState::startNodeLatencyMeasurement()
{
    measureNodeLatency();
}

void AppState::openAddress(const QString &address)
{
    if (m_services.openAddress)
        m_services.openAddress(QUrl(address));
}

QString AppState::corporateSessionSummaryAt(const QDateTime &) const
{
    return corporateSessionSummary();
}

QString AppState::corporateStaleNoticeAt(const QDateTime &) const
{
    return corporateStaleNotice().value_or(QString());
}

void AppState::selectModeNumber(int mode)
{
    if (mode < int(ConnectMode::Auto) || mode > int(ConnectMode::Reserve))
        return;
    selectMode(ConnectMode(mode));
}

void AppState::connectBalancer()
{
    connect(ConnectionTarget::balancer());
}

bool AppState::connectNode(const QString &endpoint)
{
    for (const DirectNode &node : m_directNodes) {
        if (node.endpoint == endpoint) {
            selectNode(node);
            return true;
        }
    }
    return false;
}

bool AppState::connectSavedNode()
{
    const auto node = savedSelectedNode();
    if (!node)
        return false;
    selectNode(*node);
    return true;
}

void AppState::cancelTelegramLogin()
{
    m_services.login.cancelPolling();
    setAuthStage(AuthStage::Idle);
}

void AppState::dismissExtensionApproval()
{
    setNeedsExtensionApproval(false);
}

QUrl AppState::extensionSettingsUrl() const
{
    return m_services.extensions.approvalSettingsUrl();
}

void AppState::openExtensionSettings()
{
    const QUrl url = extensionSettingsUrl();
    // Nothing to open: the retried activation itself brings up the system's
    // authentication dialog.
    if (url.isEmpty())
        resumeAfterExtensionApproval();
    else
        openAddress(url.toString());
}

bool AppState::resumeAfterExtensionApproval()
{
    if (!awaitingExtensionApprovalReturn)
        return false;
    awaitingExtensionApprovalReturn = false;
    connect();
    return true;
}

} // namespace qor
