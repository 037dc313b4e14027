#include "email_answer_parser.h"

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

RequestCodeResult parseRequestCodeAnswer(const AccountReply &reply)
{
    const auto answer = answerObject(reply);
    if (!answer)
        return RequestCodeResult::Failed;
    const QJsonValue status = answer->value(QLatin1StringView("status"));
    if (status.isString() && status.toString() == u"sent")
        return RequestCodeResult::Sent;
    if (status.isString() && status.toString() == u"invalid_email")
        return RequestCodeResult::InvalidEmail;
    return RequestCodeResult::Failed;
}

VerifyCodeResult parseVerifyCodeAnswer(const AccountReply &reply)
{
    const auto answer = answerObject(reply);
    if (!answer)
        return VerifyCodeResult::networkError();
    const QJsonValue status = answer->value(QLatin1StringView("status"));
    if (!status.isString())
        return VerifyCodeResult::networkError();
    if (status.toString() == u"invalid_code")
        return VerifyCodeResult::invalidCode();
    if (status.toString() == u"expired")
        return VerifyCodeResult::expired();
    if (auto login = parseLoginResponse(*answer))
        return VerifyCodeResult::ok(std::move(*login));
    return VerifyCodeResult::networkError();
}

} // namespace qor
