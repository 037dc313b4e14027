// The subscription's server list and the endpoint reader with its host, port and label.

#include "fuzz_support.h"

#include "account/subscription_catalog.h"

using namespace qor;

namespace {

void checkLabel(const QString &endpoint)
{
    const QString label = SubscriptionCatalog::nodeDisplayLabel(endpoint);
    QOR_FUZZ_CHECK(label.size() == 9 && label.startsWith(QStringLiteral("Узел ")));
    const int number = label.mid(5).toInt();
    QOR_FUZZ_CHECK(number >= 1000 && number <= 9999);
}

void readEndpoint(const QString &endpoint)
{
    SubscriptionCatalog::host(endpoint);
    SubscriptionCatalog::port(endpoint);
    checkLabel(endpoint);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString input = fuzz::text(data, size);

    // The input as the whole list.
    const SubscriptionCatalog::Parsed parsed = SubscriptionCatalog::parse(input);
    for (const DirectNode &node : parsed.nodes) {
        // A node is listed only under the endpoint its own configuration names.
        QOR_FUZZ_CHECK(SubscriptionCatalog::endpoint(node.config) == node.endpoint);
        readEndpoint(node.endpoint);
    }
    if (parsed.balancerConfig)
        SubscriptionCatalog::endpoint(*parsed.balancerConfig);

    // The input as one configuration, and as an endpoint text.
    if (const auto endpoint = SubscriptionCatalog::endpoint(input))
        readEndpoint(*endpoint);
    readEndpoint(input);
    return 0;
}
