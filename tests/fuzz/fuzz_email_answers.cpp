// The e-mail login's answers: the code request and the code verification.

#include "fuzz_support.h"

#include "account/email_answer_parser.h"
#include "account/login_response_parser.h"

using namespace qor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    AccountReply reply;
    reply.httpStatus = 200;
    reply.body = fuzz::bytes(data, size);
    parseRequestCodeAnswer(reply);
    const VerifyCodeResult verified = parseVerifyCodeAnswer(reply);
    // A login result comes only with the accepted outcome, and equals the login response of the same body.
    QOR_FUZZ_CHECK(verified.login.has_value() == (verified.kind == VerifyCodeResult::Kind::Ok));
    if (verified.login)
        QOR_FUZZ_CHECK(parseLoginResponse(reply.body) == verified.login);
    return 0;
}
