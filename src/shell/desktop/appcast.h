#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>
#include <QVersionNumber>

#include <optional>

namespace qor::appcast {

// One release of an update feed in the Sparkle appcast format (RSS 2.0 with the
// sparkle namespace): the version it carries, what to show, where to get it.
struct Release {
    QString title;
    QString version;       // sparkle:version (of the enclosure or the item)
    QString shortVersion;  // sparkle:shortVersionString, may be empty
    QUrl downloadUrl;      // the enclosure's url
    QUrl notesUrl;         // sparkle:releaseNotesLink or the item's link
    // The version to compare and show: the short version when there is one.
    QString displayVersion() const { return shortVersion.isEmpty() ? version : shortVersion; }
    QVersionNumber number() const { return QVersionNumber::fromString(displayVersion()); }
};

// The releases of a feed, in document order. Items without a usable version are
// skipped; a document that is not an RSS feed gives nothing.
std::optional<QList<Release>> parse(const QByteArray &document);

// The newest release above `current`, if any.
std::optional<Release> newerThan(const QList<Release> &releases, const QVersionNumber &current);

} // namespace qor::appcast
