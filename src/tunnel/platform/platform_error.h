#pragma once

#include "runtime/error.h"

#include <memory>

namespace qor {

// An error reported by a platform service (the profile service, the file system,
// process launch). Like the platform errors it stands in for, it may wrap one
// underlying error, which diagnostic texts report one level deep.
class PlatformError : public Error {
public:
    PlatformError(QString domain, int code, QString description)
        : Error(std::move(domain), code, std::move(description)) {}
    PlatformError(QString domain, int code, QString description, const Error &underlying)
        : Error(std::move(domain), code, std::move(description)),
          m_underlying(std::make_shared<Error>(underlying)) {}

    // The wrapped error, or null.
    const Error *underlying() const { return m_underlying.get(); }

    // Error of the C library's errno domain, with the system's message.
    static PlatformError posix(int errorNumber);

private:
    std::shared_ptr<const Error> m_underlying;
};

// Domains and codes of the profile service's own errors.
namespace profile_errors {
inline const QString domain = QStringLiteral("com.qorvpn.connect.profiles");
enum Code {
    ConfigurationInvalid = 1,
    ConfigurationDisabled = 2,
    ConnectionFailed = 3,
    ConfigurationStale = 4,
    ConfigurationReadWriteFailed = 5,
    ConfigurationUnknown = 6,
};
PlatformError make(Code code);
PlatformError make(Code code, const Error &underlying);
} // namespace profile_errors

inline const QString posixErrorDomain = QStringLiteral("POSIX");

} // namespace qor
