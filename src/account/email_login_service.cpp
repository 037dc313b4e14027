#include "email_login_service.h"

#include "login_response_parser.h"

#include <QJsonDocument>

namespace qor {

namespace {

std::optional<QJsonObject> answerObject(const AccountReply &reply)
{
    if (!reply.succeeded())
        return std::nullopt;
    const QJsonDocument document = QJsonDocument::fromJson(reply.body);
    if (!document.isObject())
        return std::nullopt;
    return document.object();
}

} // namespace

EmailLoginService::EmailLoginService(AccountTransport transport, QObject *parent)
    : QObject(parent)
    , m_transport(std::move(transport))
{
}

QCoro::Task<RequestCodeResult> EmailLoginService::requestCode(QString email)
{
    const AccountTransport transport = m_transport; // `this` is not touched after suspending
    // Built outside the co_await expression: g++ 12 mishandles literals inside it.
    AccountRequest request{QStringLiteral("e-mail code request"), QStringLiteral("email/request"),
                           QJsonObject{{QStringLiteral("email"), email}}, transport.settings().longTimeout};
    const AccountReply reply = co_await transport.send(std::move(request));
    const auto answer = answerObject(reply);
    if (!answer)
        co_return RequestCodeResult::Failed;
    const QJsonValue status = answer->value(QLatin1StringView("status"));
    if (status.isString() && status.toString() == u"sent")
        co_return RequestCodeResult::Sent;
    if (status.isString() && status.toString() == u"invalid_email")
        co_return RequestCodeResult::InvalidEmail;
    co_return RequestCodeResult::Failed;
}

QCoro::Task<VerifyCodeResult> EmailLoginService::verifyCode(QString email, QString code)
{
    const AccountTransport transport = m_transport;
    AccountRequest request{QStringLiteral("e-mail code verification"), QStringLiteral("email/verify"),
                           QJsonObject{{QStringLiteral("email"), email}, {QStringLiteral("code"), code}},
                           transport.settings().longTimeout};
    const AccountReply reply = co_await transport.send(std::move(request));
    const auto answer = answerObject(reply);
    if (!answer)
        co_return VerifyCodeResult::networkError();
    const QJsonValue status = answer->value(QLatin1StringView("status"));
    if (!status.isString())
        co_return VerifyCodeResult::networkError();
    if (status.toString() == u"invalid_code")
        co_return VerifyCodeResult::invalidCode();
    if (status.toString() == u"expired")
        co_return VerifyCodeResult::expired();
    if (auto login = parseLoginResponse(*answer))
        co_return VerifyCodeResult::ok(std::move(*login));
    co_return VerifyCodeResult::networkError();
}

} // namespace qor
