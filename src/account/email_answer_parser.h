#pragma once

#include "account_transport.h"
#include "email_login_service.h"

namespace qor {

// How the e-mail login reads the server's answers. Only the body decides (the HTTP
// status is never examined); a reply that is not a JSON object with a string "status"
// is a failure of its kind.

// "sent" and "invalid_email" are the two answers the code request knows.
RequestCodeResult parseRequestCodeAnswer(const AccountReply &reply);

// "invalid_code" and "expired" refuse the code; any other status is read as a login
// response, and one that is not a login response is a network error.
VerifyCodeResult parseVerifyCodeAnswer(const AccountReply &reply);

} // namespace qor
