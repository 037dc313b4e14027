#include "email_login_service.h"

#include "email_answer_parser.h"

namespace qor {

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
    co_return parseRequestCodeAnswer(reply);
}

QCoro::Task<VerifyCodeResult> EmailLoginService::verifyCode(QString email, QString code)
{
    const AccountTransport transport = m_transport;
    AccountRequest request{QStringLiteral("e-mail code verification"), QStringLiteral("email/verify"),
                           QJsonObject{{QStringLiteral("email"), email}, {QStringLiteral("code"), code}},
                           transport.settings().longTimeout};
    const AccountReply reply = co_await transport.send(std::move(request));
    co_return parseVerifyCodeAnswer(reply);
}

} // namespace qor
