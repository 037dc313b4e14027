#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <chrono>
#include <optional>

namespace qor {

// The company's traffic policy, carried to the tunnel provider unchanged in meaning.
struct CorporatePolicy {
    std::optional<QString> name;
    QStringList blockGeosite;
    QStringList blockDomains;
    QStringList allowDomains;
    bool blockTorrent = false;
    std::optional<QString> dohURL;
    std::optional<QString> dohHost;
    std::optional<QString> dohIP;

    // Given the "qor" object; nothing when it has no "policy" object.
    static std::optional<CorporatePolicy> parse(const QJsonObject &qor);

    // The form handed to the tunnel provider, as a QVariantMap: the three lists as
    // QStringList, "block_torrent" as bool, and "doh"/"doh_host"/"doh_ip" only when
    // all three resolver values are present and non-empty (a partial resolver
    // setting would leave the provider with a DoH URL it cannot reach). The policy's
    // name is not part of it.
    QVariantMap dictionary() const;

    bool operator==(const CorporatePolicy &) const = default;
};

// The corporate access record of a company account: the current access window and
// its reason, whether the reserve channel may be used, and the traffic policy.
struct CorporateAccess {
    std::optional<QString> company;
    bool reserveAllowed = true;
    int warnMinutes = 10; // never below 1
    std::optional<QDateTime> sessionUntil;
    std::optional<QString> sessionReason; // "hours": the daily hour limit; anything else: the working window
    std::optional<CorporatePolicy> policy;
    // Compact JSON of {"qor": <the received object>}: what is stored, and what parse() reads back.
    std::optional<QString> rawJSON;

    // Given an answer's top-level object; nothing when it has no "qor" object.
    static std::optional<CorporateAccess> parse(const QJsonObject &answer);
    // Parses a stored rawJSON copy; nothing when it is not such an object.
    static std::optional<CorporateAccess> parseRaw(const QString &rawJSON);

    // A record read back from storage is trusted for a week after it was saved.
    static constexpr std::chrono::seconds storedRecordLifetime{604800};
    // True when more than storedRecordLifetime has passed between savedAt and now
    // (an invalid savedAt is never expired). Behind AppState's storedPolicyExpired,
    // which also requires the record to come from storage.
    static bool storedRecordExpired(const QDateTime &savedAt, const QDateTime &now);

    bool operator==(const CorporateAccess &) const = default;
};

} // namespace qor
