#pragma once

#include "account/email_login_service.h"

#include <QString>

#include <optional>

// What the e-mail sign-in sheet shows and allows, by the answers of the account
// server. Kept apart from the other display rules because it needs the account
// service's result types.
namespace qor::display {

// The message under the fields after asking for a code; absent once it was sent.
std::optional<QString> requestCodeErrorText(EmailLoginService::RequestCodeResult result);
// The message under the fields after a verification; absent when it succeeded.
std::optional<QString> verifyCodeErrorText(VerifyCodeResult::Kind kind);

} // namespace qor::display
