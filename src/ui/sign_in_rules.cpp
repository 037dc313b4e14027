#include "sign_in_rules.h"

namespace qor::display {

std::optional<QString> requestCodeErrorText(EmailLoginService::RequestCodeResult result)
{
    switch (result) {
    case EmailLoginService::RequestCodeResult::Sent: return std::nullopt;
    case EmailLoginService::RequestCodeResult::InvalidEmail: return QStringLiteral("Проверьте правильность email.");
    case EmailLoginService::RequestCodeResult::Failed: break;
    }
    return QStringLiteral("Не удалось отправить запрос. Проверьте соединение и попробуйте снова.");
}

std::optional<QString> verifyCodeErrorText(VerifyCodeResult::Kind kind)
{
    switch (kind) {
    case VerifyCodeResult::Kind::Ok: return std::nullopt;
    case VerifyCodeResult::Kind::InvalidCode: return QStringLiteral("Неверный код, попробуйте ещё раз.");
    case VerifyCodeResult::Kind::Expired: return QStringLiteral("Код устарел. Запросите новый.");
    case VerifyCodeResult::Kind::NetworkError: break;
    }
    return QStringLiteral("Не удалось проверить код. Проверьте соединение и попробуйте снова.");
}

} // namespace qor::display
