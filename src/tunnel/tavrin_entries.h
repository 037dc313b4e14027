#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

namespace qor {

// The Tavrin entry servers built into the application, and the server list text
// that tells the Tavrin client which of them to use.
class TavrinEntries {
public:
    struct Entry {
        QString host; // domain name
        QString pub;  // 32-byte public key, standard Base64 (44 characters, one "=")
        QString ip;   // fallback IPv4 address
        bool operator==(const Entry &) const = default;
    };

    struct ServerList {
        QString text;             // "address:8443@pub@host" for each entry, joined with ","
        QStringList addresses;    // the chosen address of each entry, in entry order
    };

    // The five entries, in the order of the server list.
    static const QList<Entry> &all();

    // Each entry's resolved address when the cache (host -> address) has one, its
    // built-in address otherwise.
    static ServerList serverList(const QHash<QString, QString> &resolved, const QList<Entry> &entries = all());

    // The five built-in addresses in entry order.
    static QStringList builtInAddresses(const QList<Entry> &entries = all());
};

} // namespace qor
