// The reserve channel's list of AmneziaWG configurations.

#include "fuzz_support.h"

#include "account/subscription_catalog.h"

using namespace qor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QStringList configs = SubscriptionCatalog::reserveConfigs(fuzz::text(data, size));
    for (const QString &config : configs)
        QOR_FUZZ_CHECK(!config.isEmpty());
    return 0;
}
