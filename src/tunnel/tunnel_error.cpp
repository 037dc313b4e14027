#include "tunnel_error.h"

namespace qor {

namespace {

std::shared_ptr<const PlatformError> asPlatformError(const Error &error)
{
    if (const auto *platform = dynamic_cast<const PlatformError *>(&error))
        return std::make_shared<PlatformError>(*platform);
    return std::make_shared<PlatformError>(error.domain(), error.code(), error.description());
}

QString describe(const QString &stage, const PlatformError &error, bool reportNested)
{
    QString text = QLatin1Char('[') + stage + QStringLiteral("] domain=") + error.domain() + QStringLiteral(" code=")
        + QString::number(error.code()) + QLatin1Char(' ') + error.description();
    if (reportNested) {
        if (const Error *nested = error.underlying()) {
            text += QStringLiteral(" | underlying: domain=") + nested->domain() + QStringLiteral(" code=")
                + QString::number(nested->code()) + QLatin1Char(' ') + nested->description();
        }
    }
    return text;
}

} // namespace

ProfileCallError::ProfileCallError(QString domain, QString stage, const Error &underlying, bool reportNested)
    : Error(std::move(domain), 0, describe(stage, *asPlatformError(underlying), reportNested)),
      m_stage(std::move(stage)),
      m_underlying(asPlatformError(underlying))
{
}

TunnelError::TunnelError(const QString &stage, const Error &underlying)
    : ProfileCallError(QStringLiteral("TunnelManager.TunnelError"), stage, underlying, true)
{
}

ReserveTunnelError::ReserveTunnelError(const QString &stage, const Error &underlying)
    : ProfileCallError(QStringLiteral("ReserveTunnelManager.ReserveTunnelError"), stage, underlying, false)
{
}

} // namespace qor
