#pragma once

#include <QDateTime>
#include <QStringView>

#include <optional>

namespace qor {

// Strict ISO 8601 internet date-time: "2026-01-31T12:00:00Z" or with an offset
// "+03:00", optionally with fractional seconds. Anything else (no zone, a space for
// the "T", an impossible date) is refused rather than guessed at, because server
// dates decide when access ends.
enum class FractionalSeconds {
    Forbidden, // "…:ss" followed directly by the zone
    Required,  // "…:ss.f…" with at least one digit
};

// Fractions beyond milliseconds are truncated (QDateTime keeps milliseconds).
std::optional<QDateTime> parseInternetDateTime(QStringView text, FractionalSeconds fraction);

} // namespace qor
