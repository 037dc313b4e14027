#include "deployment.h"

#include "deployment_values.h"

#include <QtGlobal>

namespace qor::deployment {

namespace {
QString fromEnvironment(const char *name, const char *fallback)
{
    const QString value = qEnvironmentVariable(name);
    return value.isEmpty() ? QString::fromUtf8(fallback) : value;
}
} // namespace

QString apiBase()
{
    return fromEnvironment("QOR_API_BASE", QOR_DEFAULT_API_BASE);
}

QString deepLinkBase()
{
    return fromEnvironment("QOR_DEEPLINK_BASE", QOR_DEFAULT_DEEPLINK_BASE);
}

QStringList probeUrls()
{
    QStringList urls;
    const auto pieces = fromEnvironment("QOR_PROBE_URLS", QOR_DEFAULT_PROBE_URLS).split(QLatin1Char(','));
    for (const QString &piece : pieces) {
        const QString url = piece.trimmed();
        if (!url.isEmpty())
            urls.append(url);
    }
    return urls;
}

QString traceDirectory()
{
    return fromEnvironment("QOR_TRACE_DIR", QOR_DEFAULT_TRACE_DIR);
}

QString bundleDirectory()
{
    return qEnvironmentVariable("QOR_BUNDLE_DIR");
}

QString updateFeed()
{
    return QString::fromUtf8(QOR_DEFAULT_UPDATE_FEED);
}

QString version()
{
    return QString::fromUtf8(QOR_VERSION);
}

} // namespace qor::deployment
