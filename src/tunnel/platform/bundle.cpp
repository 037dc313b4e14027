#include "bundle.h"

#include "runtime/deployment.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QXmlStreamReader>

namespace qor::bundle {

QString rootDirectory()
{
    const QString configured = deployment::bundleDirectory();
    if (!configured.isEmpty())
        return QDir::cleanPath(configured);
    if (QCoreApplication::instance()) {
        const QString installed = QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/../lib/qor-connect"));
        if (QFileInfo(installed + QStringLiteral("/Contents")).isDir())
            return installed;
    }
#ifdef QOR_BUILD_BUNDLE_DIR
    return QStringLiteral(QOR_BUILD_BUNDLE_DIR);
#else
    return QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/../lib/qor-connect"));
#endif
}

QString installedDemoDirectory()
{
    if (!QCoreApplication::instance())
        return {};
    const QString demo = QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/../lib/qor-connect/demo"));
    return QFileInfo(demo + QStringLiteral("/Contents")).isDir() ? demo : QString();
}

std::optional<QString> mainBundleIdentifier()
{
    auto id = plistString(rootDirectory() + QStringLiteral("/Contents/Info.plist"), QStringLiteral("CFBundleIdentifier"));
    if (id && id->isEmpty())
        return std::nullopt;
    return id;
}

QString applicationIdentifier()
{
    return mainBundleIdentifier().value_or(QStringLiteral("com.qorvpn.connect.mac"));
}

QString systemExtensionsDirectory()
{
    return rootDirectory() + QStringLiteral("/Contents/Library/SystemExtensions");
}

QString resourcePath(const QString &name)
{
    return rootDirectory() + QStringLiteral("/Contents/Resources/") + name;
}

QString extensionBundlePath(const QString &identifier)
{
    return systemExtensionsDirectory() + QLatin1Char('/') + identifier + QStringLiteral(".systemextension");
}

std::optional<QString> extensionExecutable(const QString &identifier)
{
    const QString base = extensionBundlePath(identifier);
    const auto name = plistString(base + QStringLiteral("/Contents/Info.plist"), QStringLiteral("CFBundleExecutable"));
    if (!name || name->isEmpty() || name->contains(QLatin1Char('/')))
        return std::nullopt;
    return base + QStringLiteral("/Contents/MacOS/") + *name;
}

std::optional<QString> plistString(const QString &plistPath, const QString &key)
{
    QFile file(plistPath);
    if (file.size() > 1024 * 1024 || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QXmlStreamReader xml(&file);
    // <plist><dict> key/value pairs </dict></plist>; only the top-level dictionary counts.
    if (!xml.readNextStartElement() || xml.name() != QLatin1String("plist"))
        return std::nullopt;
    if (!xml.readNextStartElement() || xml.name() != QLatin1String("dict"))
        return std::nullopt;
    QString pendingKey;
    bool haveKey = false;
    while (xml.readNextStartElement()) {
        if (xml.name() == QLatin1String("key")) {
            pendingKey = xml.readElementText();
            haveKey = true;
            continue;
        }
        if (haveKey && pendingKey == key) {
            if (xml.name() != QLatin1String("string"))
                return std::nullopt;
            const QString value = xml.readElementText();
            if (xml.hasError())
                return std::nullopt;
            return value;
        }
        xml.skipCurrentElement();
        haveKey = false;
    }
    return std::nullopt;
}

} // namespace qor::bundle
