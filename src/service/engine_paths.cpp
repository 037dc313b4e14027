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
    return paths;
}

} // namespace qor::service
