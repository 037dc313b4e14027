#include "appcast.h"

#include <QXmlStreamReader>

namespace qor::appcast {

namespace {
const QString sparkleNamespace = QStringLiteral("http://www.andymatuschak.org/xml-namespaces/sparkle");

bool isSparkle(const QXmlStreamReader &xml, QStringView name)
{
    return xml.namespaceUri() == sparkleNamespace && xml.name() == name;
}

QUrl webAddress(const QString &text)
{
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    return url.isValid() && (url.scheme() == u"https" || url.scheme() == u"http") ? url : QUrl();
}

Release readItem(QXmlStreamReader &xml)
{
    Release release;
    while (xml.readNextStartElement()) {
        if (xml.name() == u"title" && xml.namespaceUri().isEmpty()) {
            release.title = xml.readElementText().trimmed();
        } else if (xml.name() == u"link" && xml.namespaceUri().isEmpty()) {
            if (release.notesUrl.isEmpty())
                release.notesUrl = webAddress(xml.readElementText());
            else
                xml.skipCurrentElement();
        } else if (isSparkle(xml, u"releaseNotesLink")) {
            release.notesUrl = webAddress(xml.readElementText());
        } else if (isSparkle(xml, u"version")) {
            release.version = xml.readElementText().trimmed();
        } else if (isSparkle(xml, u"shortVersionString")) {
            release.shortVersion = xml.readElementText().trimmed();
        } else if (xml.name() == u"enclosure") {
            const QXmlStreamAttributes attributes = xml.attributes();
            release.downloadUrl = webAddress(attributes.value(QStringLiteral("url")).toString());
            const auto version = attributes.value(sparkleNamespace, QStringLiteral("version"));
            if (!version.isEmpty() && release.version.isEmpty())
                release.version = version.toString().trimmed();
            const auto shortVersion = attributes.value(sparkleNamespace, QStringLiteral("shortVersionString"));
            if (!shortVersion.isEmpty() && release.shortVersion.isEmpty())
                release.shortVersion = shortVersion.toString().trimmed();
            xml.skipCurrentElement();
        } else {
            xml.skipCurrentElement();
        }
    }
    return release;
}
} // namespace

std::optional<QList<Release>> parse(const QByteArray &document)
{
    QXmlStreamReader xml(document);
    if (!xml.readNextStartElement() || xml.name() != u"rss")
        return std::nullopt;
    QList<Release> releases;
    while (xml.readNextStartElement()) {
        if (xml.name() != u"channel") {
            xml.skipCurrentElement();
            continue;
        }
        while (xml.readNextStartElement()) {
            if (xml.name() != u"item") {
                xml.skipCurrentElement();
                continue;
            }
            Release release = readItem(xml);
            if (!release.number().isNull())
                releases.append(std::move(release));
        }
    }
    if (xml.hasError())
        return std::nullopt;
    return releases;
}

std::optional<Release> newerThan(const QList<Release> &releases, const QVersionNumber &current)
{
    std::optional<Release> best;
    for (const Release &release : releases) {
        if (QVersionNumber::compare(release.number(), current) <= 0)
            continue;
        if (!best || QVersionNumber::compare(release.number(), best->number()) > 0)
            best = release;
    }
    return best;
}

} // namespace qor::appcast
