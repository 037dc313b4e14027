#include "service_profile_service.h"

#include "platform_error.h"
#include "tunnel_service_bus.h"

#include <QCoroDBusPendingReply>
#include <QDBusMessage>
#include <QDBusPendingReply>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QPointer>

Q_LOGGING_CATEGORY(lcServiceClient, "com.qorvpn.connect.profiles", QtInfoMsg)

namespace qor {

namespace bus = tunnel_service_bus;

namespace {

constexpr int defaultCallTimeoutMs = 25000;
// The user may be typing a password meanwhile.
constexpr int interactiveCallTimeoutMs = 180000;

QDBusMessage call(const QString &method, const QVariantList &arguments = {})
{
    QDBusMessage message = QDBusMessage::createMethodCall(bus::serviceName, bus::objectPath, bus::interfaceName, method);
    message.setArguments(arguments);
    return message;
}

// The service's Russian message, under the profile service's own domain and codes,
// so the managers' stage texts read as for any other platform failure.
PlatformError errorOf(const QDBusError &error)
{
    const QString name = error.name();
    profile_errors::Code code = profile_errors::ConnectionFailed;
    if (name == bus::errorUnknownProfile || name == bus::errorInvalidArguments)
        code = profile_errors::ConfigurationInvalid;
    else if (name == bus::errorProfileDisabled)
        code = profile_errors::ConfigurationDisabled;
    else if (name == bus::errorStorage)
        code = profile_errors::ConfigurationReadWriteFailed;
    QString text = error.message();
    if (!name.startsWith(QLatin1String("com.qorvpn.connect.")))
        text = QStringLiteral("Служба туннелей qor-connectd недоступна (") + name + QLatin1Char(')');
    return PlatformError(profile_errors::domain, code, text);
}

bool isRunning(VpnStatus status)
{
    return status != VpnStatus::Invalid && status != VpnStatus::Disconnected;
}

} // namespace

ServiceProfileService::ServiceProfileService(QDBusConnection connection, QObject *parent)
    : ProfileService(parent), m_bus(std::move(connection)),
      m_watcher(bus::serviceName, m_bus, QDBusServiceWatcher::WatchForUnregistration)
{
    m_bus.connect(bus::serviceName, bus::objectPath, bus::interfaceName, QStringLiteral("StatusChanged"), this,
                  SLOT(onStatusChanged(QString, int)));
    connect(&m_watcher, &QDBusServiceWatcher::serviceUnregistered, this, &ServiceProfileService::forgetRunningTunnels);
}

void ServiceProfileService::setStatus(const QString &id, VpnStatus status)
{
    m_status.insert(id, status);
    Q_EMIT statusChanged(id);
}

void ServiceProfileService::onStatusChanged(const QString &id, int status)
{
    // Every user hears every signal; only profiles this client knows are its own.
    if (!m_status.contains(id) || !isValidVpnStatus(status))
        return;
    setStatus(id, VpnStatus(status));
}

void ServiceProfileService::forgetRunningTunnels()
{
    m_counters.clear();
    const QStringList ids = m_status.keys();
    for (const QString &id : ids) {
        if (isRunning(m_status.value(id)))
            setStatus(id, VpnStatus::Disconnected);
    }
}

QCoro::Task<QList<ProfileHandle>> ServiceProfileService::loadAll()
{
    QPointer<ServiceProfileService> self(this);
    QDBusPendingReply<QStringList, QList<int>, QList<qulonglong>, QList<qulonglong>> reply =
        m_bus.asyncCall(call(QStringLiteral("ListProfiles")), defaultCallTimeoutMs);
    co_await reply;
    if (reply.isError())
        throw errorOf(reply.error());
    const QStringList documents = reply.argumentAt<0>();
    const QList<int> statuses = reply.argumentAt<1>();
    const QList<qulonglong> received = reply.argumentAt<2>();
    const QList<qulonglong> sent = reply.argumentAt<3>();
    QList<ProfileHandle> result;
    if (!self)
        co_return result;
    for (qsizetype i = 0; i < documents.size(); ++i) {
        auto profile = VpnProfile::fromJson(QJsonDocument::fromJson(documents[i].toUtf8()).object());
        if (!profile || profile->id.isEmpty())
            continue;
        const int status = i < statuses.size() ? statuses[i] : int(VpnStatus::Disconnected);
        m_status.insert(profile->id, isValidVpnStatus(status) ? VpnStatus(status) : VpnStatus::Disconnected);
        if (i < received.size() && i < sent.size() && isRunning(m_status.value(profile->id)))
            m_counters.insert(profile->id, {received[i], sent[i]});
        result.append(std::make_shared<VpnProfile>(std::move(*profile)));
    }
    co_return result;
}

QCoro::Task<> ServiceProfileService::save(ProfileHandle profile)
{
    QPointer<ServiceProfileService> self(this);
    const QString document = QString::fromUtf8(QJsonDocument(profile->toJson()).toJson(QJsonDocument::Compact));
    QDBusPendingReply<QString> reply = m_bus.asyncCall(call(QStringLiteral("SaveProfile"), {document}), defaultCallTimeoutMs);
    co_await reply;
    if (reply.isError())
        throw errorOf(reply.error());
    const QString id = reply.value();
    profile->id = id;
    if (self && !m_status.contains(id))
        m_status.insert(id, VpnStatus::Disconnected);
}

QCoro::Task<> ServiceProfileService::reload(ProfileHandle profile)
{
    QDBusPendingReply<QString> reply =
        m_bus.asyncCall(call(QStringLiteral("GetProfile"), {profile->id}), defaultCallTimeoutMs);
    co_await reply;
    if (reply.isError())
        throw errorOf(reply.error());
    auto stored = VpnProfile::fromJson(QJsonDocument::fromJson(reply.value().toUtf8()).object());
    if (!stored)
        throw profile_errors::make(profile_errors::ConfigurationStale);
    *profile = std::move(*stored);
}

QCoro::Task<> ServiceProfileService::startTunnel(const VpnProfile &profile)
{
    const QString id = profile.id;
    QDBusMessage request = call(QStringLiteral("StartTunnel"), {id});
    // An authorisation that has lapsed since the activation may be given again at once,
    // through the user's authentication agent.
    request.setInteractiveAuthorizationAllowed(true);
    QDBusPendingReply<> reply = m_bus.asyncCall(request, interactiveCallTimeoutMs);
    co_await reply;
    if (reply.isError())
        throw errorOf(reply.error());
}

void ServiceProfileService::stopTunnel(const VpnProfile &profile)
{
    const QString id = profile.id;
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call(QStringLiteral("StopTunnel"), {id})), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [watcher, id] {
        if (watcher->isError())
            qCWarning(lcServiceClient) << "stop of" << id << "refused:" << watcher->error().message();
        watcher->deleteLater();
    });
}

VpnStatus ServiceProfileService::status(const VpnProfile &profile) const
{
    return m_status.value(profile.id, VpnStatus::Invalid);
}

CounterSnapshot ServiceProfileService::read() const
{
    refreshCounters();
    return m_counters;
}

void ServiceProfileService::refreshCounters() const
{
    if (m_countersPending)
        return;
    m_countersPending = true;
    auto *self = const_cast<ServiceProfileService *>(this);
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call(QStringLiteral("Counters"))), self);
    connect(watcher, &QDBusPendingCallWatcher::finished, self, [self, watcher] {
        self->m_countersPending = false;
        QDBusPendingReply<QStringList, QList<qulonglong>, QList<qulonglong>> reply = *watcher;
        watcher->deleteLater();
        if (reply.isError())
            return;
        const QStringList ids = reply.argumentAt<0>();
        const QList<qulonglong> received = reply.argumentAt<1>();
        const QList<qulonglong> sent = reply.argumentAt<2>();
        CounterSnapshot snapshot;
        for (qsizetype i = 0; i < ids.size() && i < received.size() && i < sent.size(); ++i)
            snapshot.insert(ids[i], {received[i], sent[i]});
        self->m_counters = snapshot;
    });
}

} // namespace qor
