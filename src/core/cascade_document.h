#pragma once

#include <QString>

namespace qor::CascadeDocument {

// The main tunnel's configuration for the Tavrin cascade: a local SOCKS inbound,
// all TCP to the Tavrin client's listener, private ranges direct, DNS over TCP,
// other UDP blocked. "__TAVRIN_PORT__" stands unquoted where the client's port goes.
const QString &templateText();

// The template with the port filled in as a plain text substitution.
QString filled(int tavrinPort);

} // namespace qor::CascadeDocument
