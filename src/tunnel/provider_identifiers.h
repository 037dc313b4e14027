#pragma once

#include <QString>

namespace qor {

// Bundle identifiers of the two packet-tunnel providers: the application's bundle
// identifier (or "com.qorvpn.connect.mac") with ".tunnel" or ".reserve" appended.
// Computed on first use and kept for the life of the process.
QString mainProviderIdentifier();
QString reserveProviderIdentifier();

} // namespace qor
