#include "provider_identifiers.h"

#include "tunnel/platform/bundle.h"

namespace qor {

QString mainProviderIdentifier()
{
    static const QString identifier = bundle::applicationIdentifier() + QStringLiteral(".tunnel");
    return identifier;
}

QString reserveProviderIdentifier()
{
    static const QString identifier = bundle::applicationIdentifier() + QStringLiteral(".reserve");
    return identifier;
}

} // namespace qor
