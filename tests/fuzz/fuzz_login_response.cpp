// The login answer (poll, refresh, e-mail verification) and what is read from an accepted one: server lists, corporate record.

#include "fuzz_support.h"

#include "account/corporate_access.h"
#include "account/subscription_catalog.h"
#include "account/telegram_login_service.h"

using namespace qor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const auto result = TelegramLoginService::parseLoginResponse(fuzz::bytes(data, size));
    if (!result || !result->isOk())
        return 0;
    const TelegramLoginResult::Session &session = result->ok;
    if (session.xrayConfigsJSON) {
        // The normalised list is what the catalog is handed next.
        const auto catalog = SubscriptionCatalog::parse(*session.xrayConfigsJSON);
        for (const DirectNode &node : catalog.nodes)
            SubscriptionCatalog::nodeDisplayLabel(node.endpoint);
    }
    if (session.awgConfigsJSON)
        SubscriptionCatalog::reserveConfigs(*session.awgConfigsJSON);
    if (session.corporate) {
        QOR_FUZZ_CHECK(session.corporate->rawJSON.has_value());
        if (session.corporate->policy)
            session.corporate->policy->dictionary();
    }
    return 0;
}
