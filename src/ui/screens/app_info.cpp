#include "app_info.h"

#include "tunnel/platform/bundle.h"
#include "ui/display_rules.h"

namespace qor {

namespace {
QVariant plistValue(const QString &plistPath, const char *key)
{
    const auto value = bundle::plistString(plistPath, QString::fromLatin1(key));
    return value ? QVariant(*value) : QVariant();
}
} // namespace

AppInfo::AppInfo(QObject *parent)
    : QObject(parent), m_versionText(versionTextOf(bundle::rootDirectory() + QStringLiteral("/Contents/Info.plist")))
{
}

QString AppInfo::versionTextOf(const QString &plistPath)
{
    return display::versionText(plistValue(plistPath, "CFBundleShortVersionString"),
                                plistValue(plistPath, "CFBundleVersion"));
}

QString AppInfo::supportAddress() const
{
    return QStringLiteral(QOR_SUPPORT_ADDRESS);
}

} // namespace qor
