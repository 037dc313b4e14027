#include "engine_paths.h"

#include <QDir>
#include <QFileInfo>

namespace qor::service {

namespace {

QString find(const QString &name, const QStringList &searchPath)
{
    for (const QString &directory : searchPath) {
        // A relative entry would depend on the working directory.
        if (!QDir::isAbsolutePath(directory))
            continue;
        const QString canonical = QFileInfo(QDir(directory).filePath(name)).canonicalFilePath();
        if (canonical.isEmpty())
            continue;
        const QFileInfo target(canonical);
        if (target.isFile() && target.isExecutable())
            return canonical;
    }
    return {};
}

} // namespace

QStringList EnginePaths::defaultSearchPath()
{
    return {QStringLiteral("/usr/local/sbin"), QStringLiteral("/usr/local/bin"), QStringLiteral("/usr/sbin"),
            QStringLiteral("/usr/bin"),        QStringLiteral("/sbin"),          QStringLiteral("/bin")};
}

EnginePaths EnginePaths::resolve(const QStringList &searchPath)
{
    EnginePaths paths;
    paths.ip = find(QStringLiteral("ip"), searchPath);
    paths.nft = find(QStringLiteral("nft"), searchPath);
    paths.wireguardGo = find(QStringLiteral("wireguard-go"), searchPath);
    paths.amneziawgGo = find(QStringLiteral("amneziawg-go"), searchPath);
    paths.xray = find(QStringLiteral("xray"), searchPath);
    paths.v2ray = find(QStringLiteral("v2ray"), searchPath);
    for (const char *folder : {"/usr/local/share/xray", "/usr/share/xray", "/usr/local/share/v2ray", "/usr/share/v2ray",
                               "/usr/local/share/v2ray-domain-list-community", "/usr/share/v2ray-domain-list-community"}) {
        const QFileInfo file(QString::fromLatin1(folder) + QStringLiteral("/geosite.dat"));
        if (file.isFile() && file.isReadable()) {
            paths.geosite = file.filePath();
            break;
        }
    }
    return paths;
}

} // namespace qor::service
