#include "platform_error.h"

#include <cstring>

namespace qor {

PlatformError PlatformError::posix(int errorNumber)
{
    return PlatformError(posixErrorDomain, errorNumber, QString::fromLocal8Bit(std::strerror(errorNumber)));
}

namespace profile_errors {

namespace {
QString describe(Code code)
{
    switch (code) {
    case ConfigurationInvalid:
        return QStringLiteral("Конфигурация VPN недействительна");
    case ConfigurationDisabled:
        return QStringLiteral("Конфигурация VPN отключена");
    case ConnectionFailed:
        return QStringLiteral("Не удалось запустить VPN-подключение");
    case ConfigurationStale:
        return QStringLiteral("Конфигурация VPN устарела");
    case ConfigurationReadWriteFailed:
        return QStringLiteral("Не удалось прочитать или записать конфигурацию VPN");
    case ConfigurationUnknown:
        break;
    }
    return QStringLiteral("Неизвестная конфигурация VPN");
}
} // namespace

PlatformError make(Code code)
{
    return PlatformError(domain, code, describe(code));
}

PlatformError make(Code code, const Error &underlying)
{
    return PlatformError(domain, code, describe(code), underlying);
}

} // namespace profile_errors
} // namespace qor
