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

std::vector<ProfileStore::Entry> ProfileStore::entries(uint uid) const
{
    std::vector<Entry> found;
    const QDir dir(userDirectory(uid));
    for (const QString &name : dir.entryList({QStringLiteral("*.json")}, QDir::Files)) {
        qint64 created = 0;
        auto profile = read(dir.filePath(name), &created);
        if (profile && profile->id + QStringLiteral(".json") == name)
            found.push_back({created, std::move(*profile)});
    }
    std::sort(found.begin(), found.end(), [](const Entry &a, const Entry &b) {
        return a.created != b.created ? a.created < b.created : a.profile.id < b.profile.id;
    });
    return found;
}

QList<VpnProfile> ProfileStore::list(uint uid) const
{
    QList<VpnProfile> result;
    for (Entry &entry : entries(uid))
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
    const std::vector<Entry> existing = entries(uid);
    const auto known = std::find_if(existing.begin(), existing.end(), [&](const Entry &e) { return e.profile.id == profile.id; });
    qint64 created = 0;
    if (known != existing.end()) {
        created = known->created;
    } else {
        if (qsizetype(existing.size()) >= tunnel_service_bus::maxProfilesPerUser)
            throw PlatformError(profile_errors::domain, profile_errors::ConfigurationReadWriteFailed,
                                QStringLiteral("Слишком много профилей VPN у этого пользователя"));
        if (profile.id.isEmpty())
            profile.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
        // Later than every stored profile, so the order of creation holds.
        created = QDateTime::currentMSecsSinceEpoch();
        if (!existing.empty())
            created = std::max(created, existing.back().created + 1);
    }
    QJsonObject object = profile.toJson();
    object.insert(QStringLiteral("created"), double(created));
    writePrivateFile(userDirectory(uid) + QLatin1Char('/') + profile.id + QStringLiteral(".json"), QJsonDocument(object).toJson());
    return profile.id;
}

} // namespace qor::service
