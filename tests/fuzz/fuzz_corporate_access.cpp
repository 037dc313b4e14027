// The corporate record as stored (the keychain item's text) and as received.

#include "fuzz_support.h"

#include "account/corporate_access.h"

#include <QDateTime>

using namespace qor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const auto record = CorporateAccess::parseRaw(fuzz::text(data, size));
    if (!record)
        return 0;
    QOR_FUZZ_CHECK(record->warnMinutes >= 1);
    QOR_FUZZ_CHECK(record->rawJSON.has_value());
    if (record->policy)
        record->policy->dictionary();
    if (record->sessionUntil)
        CorporateAccess::storedRecordExpired(*record->sessionUntil, QDateTime::currentDateTimeUtc());
    QOR_FUZZ_CHECK(CorporateAccess::parseRaw(*record->rawJSON) == record);
    return 0;
}
