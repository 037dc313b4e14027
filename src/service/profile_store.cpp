#include "profile_store.h"

#include "tunnel/platform/platform_error.h"
#include "tunnel/platform/private_file.h"
#include "tunnel/platform/tunnel_service_bus.h"

#include <QDateTime>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>

#include <algorithm>
#include <cerrno>

namespace qor::service {

ProfileStore::ProfileStore(QString stateDirectory)
    : m_root(stateDirectory + QStringLiteral("/profiles"))
{
}

QString ProfileStore::userDirectory(uint uid) const
{
    return m_root + QLatin1Char('/') + QString::number(uid);
}

std::optional<VpnProfile> ProfileStore::read(const QString &path, qint64 *created) const
{
    const QByteArray data = readOwnedFile(path, tunnel_service_bus::maxProfileBytes + 4096);
    if (data.isNull())
        return std::nullopt;
    const QJsonObject object = QJsonDocument::fromJson(data).object();
    auto profile = VpnProfile::fromJson(object);
    if (profile && created)
        *created = qint64(object.value(QStringLiteral("created")).toDouble());
    return profile;
}

QList<VpnProfile> ProfileStore::list(uint uid) const
{
    struct Entry {
        qint64 created;
        VpnProfile profile;
    };
    std::vector<Entry> entries;
    const QDir dir(userDirectory(uid));
    for (const QString &name : dir.entryList({QStringLiteral("*.json")}, QDir::Files)) {
        qint64 created = 0;
        auto profile = read(dir.filePath(name), &created);
        if (profile && profile->id + QStringLiteral(".json") == name)
            entries.push_back({created, std::move(*profile)});
    }
    std::sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) {
        return a.created != b.created ? a.created < b.created : a.profile.id < b.profile.id;
    });
    QList<VpnProfile> result;
    for (Entry &entry : entries)
        result.append(std::move(entry.profile));
    return result;
}

std::optional<VpnProfile> ProfileStore::get(uint uid, const QString &id) const
{
    auto profile = read(userDirectory(uid) + QLatin1Char('/') + id + QStringLiteral(".json"), nullptr);
    if (!profile || profile->id != id)
        return std::nullopt;
    return profile;
}

QString ProfileStore::save(uint uid, VpnProfile profile)
{
    const QString dir = userDirectory(uid);
    qint64 created = 0;
    const QList<VpnProfile> existing = list(uid);
    const bool known = std::any_of(existing.begin(), existing.end(), [&](const VpnProfile &p) { return p.id == profile.id; });
    if (known) {
        read(dir + QLatin1Char('/') + profile.id + QStringLiteral(".json"), &created);
    } else {
        if (existing.size() >= tunnel_service_bus::maxProfilesPerUser)
            throw PlatformError(profile_errors::domain, profile_errors::ConfigurationReadWriteFailed,
                                QStringLiteral("Слишком много профилей VPN у этого пользователя"));
        if (profile.id.isEmpty())
            profile.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
        // Later than every stored profile, so the order of creation holds.
        created = QDateTime::currentMSecsSinceEpoch();
        for (const VpnProfile &other : existing) {
            qint64 otherCreated = 0;
            read(dir + QLatin1Char('/') + other.id + QStringLiteral(".json"), &otherCreated);
            created = std::max(created, otherCreated + 1);
        }
    }
    QJsonObject object = profile.toJson();
    object.insert(QStringLiteral("created"), double(created));
    writePrivateFile(dir + QLatin1Char('/') + profile.id + QStringLiteral(".json"), QJsonDocument(object).toJson());
    return profile.id;
}

QList<ProfileStore::Stored> ProfileStore::all() const
{
    QList<Stored> result;
    for (const QString &name : QDir(m_root).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool ok = false;
        const uint uid = name.toUInt(&ok);
        if (!ok)
            continue;
        for (VpnProfile &profile : list(uid))
            result.append({uid, std::move(profile)});
    }
    return result;
}

} // namespace qor::service
