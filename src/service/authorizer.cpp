#include "authorizer.h"

#include "service_log.h"
#include "tunnel/platform/tunnel_service_bus.h"

#include <QCoroDBusPendingCall>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCall>
#include <QDBusVariant>

namespace qor::service {

namespace {
const QString polkitService = QStringLiteral("org.freedesktop.PolicyKit1");
const QString polkitPath = QStringLiteral("/org/freedesktop/PolicyKit1/Authority");
const QString polkitInterface = QStringLiteral("org.freedesktop.PolicyKit1.Authority");
constexpr uint allowUserInteraction = 1;
// An authentication dialog stays open while the user reads and types.
constexpr int interactiveLimitMs = 170000;
constexpr int quietLimitMs = 10000;
} // namespace

Authorizer::Outcome Authorizer::decide(uint uid, const std::optional<Answer> &answer)
{
    if (uid == 0)
        return Outcome::Allowed;
    if (!answer)
        return Outcome::Denied;
    if (answer->authorized)
        return Outcome::Allowed;
    return answer->challenge ? Outcome::NeedsAuthentication : Outcome::Denied;
}

QCoro::Task<Authorizer::Outcome> Authorizer::check(QString busName, uint uid, bool interactive) const
{
    if (uid == 0)
        co_return Outcome::Allowed;
    const std::optional<Answer> answer = co_await askAuthority(busName, interactive);
    co_return decide(uid, answer);
}

QCoro::Task<std::optional<Authorizer::Answer>> Authorizer::askAuthority(QString busName, bool interactive) const
{
    // CheckAuthorization((sa{sv}) subject, s action, a{ss} details, u flags, s cancellation) -> (bba{ss})
    QDBusArgument subject;
    subject.beginStructure();
    subject << QStringLiteral("system-bus-name");
    subject.beginMap(QMetaType::fromType<QString>(), QMetaType::fromType<QDBusVariant>());
    subject.beginMapEntry();
    subject << QStringLiteral("name") << QDBusVariant(busName);
    subject.endMapEntry();
    subject.endMap();
    subject.endStructure();
    QDBusArgument details;
    details.beginMap(QMetaType::fromType<QString>(), QMetaType::fromType<QString>());
    details.endMap();

    QDBusMessage message = QDBusMessage::createMethodCall(polkitService, polkitPath, polkitInterface,
                                                          QStringLiteral("CheckAuthorization"));
    message << QVariant::fromValue(subject) << tunnel_service_bus::polkitAction << QVariant::fromValue(details)
            << uint(interactive ? allowUserInteraction : 0) << QString();
    QDBusPendingCall call = m_bus.asyncCall(message, interactive ? interactiveLimitMs : quietLimitMs);
    co_await call;
    const QDBusMessage reply = call.reply();
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        qCInfo(lcService) << "no polkit answer:" << reply.errorName();
        co_return std::nullopt;
    }
    const QDBusArgument result = reply.arguments().constFirst().value<QDBusArgument>();
    Answer answer;
    result.beginStructure();
    result >> answer.authorized >> answer.challenge;
    QMap<QString, QString> resultDetails;
    result >> resultDetails;
    result.endStructure();
    // A user who closed the authentication dialog may still authenticate later.
    if (!answer.authorized && resultDetails.contains(QStringLiteral("polkit.dismissed")))
        answer.challenge = true;
    co_return answer;
}

} // namespace qor::service
