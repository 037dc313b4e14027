#include "tunnel_service.h"

#include "request_validation.h"
#include "service_log.h"

#include "tunnel/platform/platform_error.h"
#include "tunnel/platform/tunnel_service_bus.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QJsonDocument>
#include <QPointer>

namespace qor::service {

namespace bus = tunnel_service_bus;
namespace validation = request_validation;

namespace {
const QString notAuthorized = QStringLiteral("Нет разрешения управлять VPN-туннелями на этом компьютере");
const QString unknownProfile = QStringLiteral("Профиль VPN не найден");
} // namespace

TunnelService::TunnelService(ProfileStore &store, TunnelSupervisor &supervisor, Authorizer authorizer, QObject *parent)
    : QObject(parent), m_store(store), m_supervisor(supervisor), m_authorizer(std::move(authorizer))
{
    connect(&m_supervisor, &TunnelSupervisor::statusChanged, this, &TunnelService::StatusChanged);
}

std::optional<uint> TunnelService::callerUid()
{
    if (!calledFromDBus())
        return std::nullopt;
    const QDBusReply<uint> uid = connection().interface()->serviceUid(message().service());
    if (!uid.isValid()) {
        refuse(bus::errorNotAuthorized, notAuthorized);
        return std::nullopt;
    }
    return uid.value();
}

void TunnelService::refuse(const QString &errorName, const QString &text)
{
    sendErrorReply(errorName, text);
}

QStringList TunnelService::ListProfiles(QList<int> &statuses, QList<qulonglong> &received, QList<qulonglong> &sent)
{
    const auto uid = callerUid();
    if (!uid)
        return {};
    const CounterSnapshot counters = m_supervisor.counters(*uid);
    QStringList documents;
    for (const VpnProfile &profile : m_store.list(*uid)) {
        documents << QString::fromUtf8(QJsonDocument(profile.toJson()).toJson(QJsonDocument::Compact));
        statuses << int(m_supervisor.status(*uid, profile.id));
        const InterfaceCounters c = counters.value(profile.id);
        received << c.received;
        sent << c.sent;
    }
    return documents;
}

QString TunnelService::GetProfile(const QString &id)
{
    const auto uid = callerUid();
    if (!uid)
        return {};
    const auto profile = VpnProfile::isWellFormedId(id) ? m_store.get(*uid, id) : std::nullopt;
    if (!profile) {
        refuse(bus::errorUnknownProfile, unknownProfile);
        return {};
    }
    return QString::fromUtf8(QJsonDocument(profile->toJson()).toJson(QJsonDocument::Compact));
}

QString TunnelService::SaveProfile(const QString &document)
{
    const auto uid = callerUid();
    if (!uid)
        return {};
    auto checked = validation::profileDocument(document);
    if (const QString *error = std::get_if<QString>(&checked)) {
        refuse(bus::errorInvalidArguments, *error);
        return {};
    }
    try {
        return m_store.save(*uid, std::get<VpnProfile>(std::move(checked)));
    } catch (const Error &error) {
        qCWarning(lcService) << "cannot store a profile:" << error.description();
        refuse(bus::errorStorage, error.description());
        return {};
    }
}

void TunnelService::StartTunnel(const QString &id)
{
    const auto uid = callerUid();
    if (!uid)
        return;
    const auto profile = VpnProfile::isWellFormedId(id) ? m_store.get(*uid, id) : std::nullopt;
    if (!profile) {
        refuse(bus::errorUnknownProfile, unknownProfile);
        return;
    }
    if (!profile->enabled) {
        refuse(bus::errorProfileDisabled, QStringLiteral("Профиль VPN выключен"));
        return;
    }
    setDelayedReply(true);
    startAuthorized(message(), *uid, *profile);
}

QCoro::Task<> TunnelService::startAuthorized(QDBusMessage request, uint uid, VpnProfile profile)
{
    QPointer<TunnelService> self(this);
    const QDBusConnection replies = connection();
    const auto outcome = co_await m_authorizer.check(request.service(), uid, request.isInteractiveAuthorizationAllowed());
    if (!self)
        co_return;
    if (outcome != Authorizer::Outcome::Allowed) {
        replies.send(request.createErrorReply(bus::errorNotAuthorized, notAuthorized));
        co_return;
    }
    // The profile may have changed while polkit was asked; the stored one counts.
    const auto current = m_store.get(uid, profile.id);
    if (!current) {
        replies.send(request.createErrorReply(bus::errorUnknownProfile, unknownProfile));
        co_return;
    }
    if (const auto failure = m_supervisor.start(uid, *current)) {
        replies.send(request.createErrorReply(failure->errorName, failure->message));
        co_return;
    }
    replies.send(request.createReply());
}

void TunnelService::StopTunnel(const QString &id)
{
    const auto uid = callerUid();
    if (!uid)
        return;
    if (!VpnProfile::isWellFormedId(id)) {
        refuse(bus::errorInvalidArguments, unknownProfile);
        return;
    }
    // A user may always stop their own tunnel, even once an authorisation has lapsed.
    m_supervisor.stop(*uid, id);
}

QString TunnelService::Activate(const QString &identifier)
{
    const auto uid = callerUid();
    if (!uid)
        return {};
    if (!validation::isProviderIdentifier(identifier)) {
        refuse(bus::errorInvalidArguments, QStringLiteral("Неизвестное расширение: ") + identifier.left(128));
        return {};
    }
    setDelayedReply(true);
    activateAuthorized(message(), *uid, identifier);
    return {};
}

QCoro::Task<> TunnelService::activateAuthorized(QDBusMessage request, uint uid, QString identifier)
{
    QPointer<TunnelService> self(this);
    const QDBusConnection replies = connection();
    const auto outcome = co_await m_authorizer.check(request.service(), uid, request.isInteractiveAuthorizationAllowed());
    if (!self)
        co_return;
    if (outcome == Authorizer::Outcome::Denied) {
        replies.send(request.createErrorReply(bus::errorNotAuthorized, notAuthorized));
        co_return;
    }
    if (outcome == Authorizer::Outcome::NeedsAuthentication) {
        replies.send(request.createReply(bus::needsApproval));
        co_return;
    }
    QString missing;
    if (!m_supervisor.engineInstalled(identifier, &missing)) {
        replies.send(request.createErrorReply(bus::errorEngineMissing, missing));
        co_return;
    }
    replies.send(request.createReply(bus::activated));
}

QStringList TunnelService::Counters(QList<qulonglong> &received, QList<qulonglong> &sent)
{
    const auto uid = callerUid();
    if (!uid)
        return {};
    const CounterSnapshot counters = m_supervisor.counters(*uid);
    QStringList ids;
    for (auto it = counters.constBegin(); it != counters.constEnd(); ++it) {
        ids << it.key();
        received << it->received;
        sent << it->sent;
    }
    return ids;
}

} // namespace qor::service
