#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace qor {

class TavrinResolver;

// The five Tavrin entry servers built into the application, and the server list
// that tells the Tavrin client which of their addresses to use.
namespace TavrinEntries {

struct Entry {
    QString host; // the entry's host name
    QString pub;  // its public key: 44 characters of standard Base64 (32 bytes)
    QString ip;   // its fallback IPv4 address
};

// The entries, in the order of the server list.
const QList<Entry> &entries();

// The port every entry listens on.
inline constexpr quint16 entryPort = 8443;

struct ServerList {
    QString text;          // "address:8443@pub@host" per entry, joined by ","
    QStringList addresses; // the address chosen for each entry, in entry order
};

// Each entry's address is the one the resolver has cached for its host, or the
// entry's own fallback address.
ServerList serverList(const TavrinResolver &resolver);

// The five fallback addresses, in entry order.
QStringList builtInAddresses();

} // namespace TavrinEntries
} // namespace qor
