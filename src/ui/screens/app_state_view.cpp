#include "app_state_view.h"

#include "state_types.h"

#include "core/app_state.h"

#include <QQmlEngine>

namespace qor {

namespace {
template<typename T>
QVariant optionalValue(const std::optional<T> &value)
{
    return value ? QVariant::fromValue(*value) : QVariant();
}

// Byte counts as doubles: QML numbers, exact up to 2^53 bytes.
QVariant byteCount(const std::optional<qint64> &value)
{
    return value ? QVariant(double(*value)) : QVariant();
}
} // namespace

AppStateView *AppStateView::create(QQmlEngine *, QJSEngine *)
{
    AppState *state = AppStateForeign::provided();
    if (!state) {
        qCritical("Qor.Screens: AppStateView used before the composition root provided the state");
        return nullptr;
    }
    // Lives and dies with the state, as the `AppState` singleton itself does.
    auto *view = new AppStateView(*state, state);
    QQmlEngine::setObjectOwnership(view, QQmlEngine::CppOwnership);
    return view;
}

AppStateView::AppStateView(AppState &state, QObject *parent)
    : QObject(parent), m_state(state)
{
    connect(&m_state, &AppState::signOutNoticeChanged, this, &AppStateView::signOutNoticeChanged);
    connect(&m_state, &AppState::telegramUsernameChanged, this, &AppStateView::telegramUsernameChanged);
    connect(&m_state, &AppState::telegramAvatarDataURIChanged, this, &AppStateView::telegramAvatarDataURIChanged);
    connect(&m_state, &AppState::sessionWarningChanged, this, &AppStateView::sessionWarningChanged);
    connect(&m_state, &AppState::toastChanged, this, &AppStateView::toastChanged);
    connect(&m_state, &AppState::connectionErrorChanged, this, &AppStateView::connectionErrorChanged);
    connect(&m_state, &AppState::connectionProgressChanged, this, &AppStateView::connectionProgressChanged);
    connect(&m_state, &AppState::corporateSavedAtChanged, this, &AppStateView::corporateSavedAtChanged);
    connect(&m_state, &AppState::subscriptionChanged, this, &AppStateView::subscriptionChanged);
    connect(&m_state, &AppState::corporateChanged, this, &AppStateView::corporateChanged);
}

QString AppStateView::signOutNotice() const { return m_state.signOutNotice().value_or(QString()); }
QString AppStateView::telegramUsername() const { return m_state.telegramUsername().value_or(QString()); }
QString AppStateView::telegramAvatarDataURI() const { return m_state.telegramAvatarDataURI().value_or(QString()); }
QString AppStateView::sessionWarning() const { return m_state.sessionWarning().value_or(QString()); }
QString AppStateView::toast() const { return m_state.toast().value_or(QString()); }
QString AppStateView::connectionError() const { return m_state.connectionError().value_or(QString()); }
QString AppStateView::connectionProgress() const { return m_state.connectionProgress().value_or(QString()); }
QDateTime AppStateView::corporateSavedAt() const { return m_state.corporateSavedAt().value_or(QDateTime()); }
QVariant AppStateView::subscriptionActive() const { return optionalValue(m_state.subscription().isActive); }
QVariant AppStateView::subscriptionExpiresAt() const { return optionalValue(m_state.subscription().expiresAt); }
QVariant AppStateView::trafficUsedBytes() const { return byteCount(m_state.subscription().trafficUsedBytes); }
QVariant AppStateView::trafficLimitBytes() const { return byteCount(m_state.subscription().trafficLimitBytes); }

QVariant AppStateView::corporateCompany() const
{
    const auto &record = m_state.corporate();
    return record ? optionalValue(record->company) : QVariant();
}

QDateTime AppStateView::currentTime() const
{
    return m_state.currentTime();
}

void AppStateView::startNodeLatencyMeasurement()
{
    m_state.measureNodeLatency();
}

void AppStateView::openAddress(const QString &address)
{
    m_state.openAddress(QUrl(address));
}

QString AppStateView::corporateSessionSummaryAt(const QDateTime &) const
{
    return m_state.corporateSessionSummary();
}

QString AppStateView::corporateStaleNoticeAt(const QDateTime &) const
{
    return m_state.corporateStaleNotice().value_or(QString());
}

void AppStateView::selectModeNumber(int mode)
{
    if (mode < int(ConnectMode::Auto) || mode > int(ConnectMode::Reserve))
        return;
    m_state.selectMode(ConnectMode(mode));
}

void AppStateView::connectBalancer()
{
    m_state.connect(ConnectionTarget::balancer());
}

bool AppStateView::connectNode(const QString &endpoint)
{
    for (const DirectNode &node : m_state.directNodes()) {
        if (node.endpoint == endpoint) {
            m_state.selectNode(node);
            return true;
        }
    }
    return false;
}

bool AppStateView::connectSavedNode()
{
    const auto node = m_state.savedSelectedNode();
    if (!node)
        return false;
    m_state.selectNode(*node);
    return true;
}

void AppStateView::openExtensionSettings()
{
    const QUrl url = m_state.extensionSettingsUrl();
    // Nothing to open: the retried activation itself brings up the system's
    // authentication dialog.
    if (url.isEmpty())
        m_state.resumeAfterExtensionApproval();
    else
        m_state.openAddress(url);
}

} // namespace qor
