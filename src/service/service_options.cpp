#include "service_options.h"

namespace qor::service {

std::optional<ServiceOptions> ServiceOptions::parse(const QStringList &arguments, QString *error)
{
    ServiceOptions options;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &name = arguments[i];
        if (i + 1 >= arguments.size()) {
            *error = QStringLiteral("missing value for ") + name;
            return std::nullopt;
        }
        const QString value = arguments[++i];
        if (name == QLatin1String("--state-dir")) {
            options.stateDirectory = value;
        } else if (name == QLatin1String("--trace-dir")) {
            options.traceDirectory = value;
        } else if (name == QLatin1String("--handshake-timeout")) {
            bool ok = false;
            const double seconds = value.toDouble(&ok);
            if (!ok || seconds <= 0 || seconds > 600) {
                *error = QStringLiteral("--handshake-timeout takes 0 < seconds <= 600");
                return std::nullopt;
            }
            options.handshakeTimeout = std::chrono::milliseconds(qint64(seconds * 1000));
        } else if (name == QLatin1String("--engine-path")) {
            options.engineSearchPath = value.split(QLatin1Char(':'), Qt::SkipEmptyParts);
        } else {
            *error = QStringLiteral("unknown option ") + name;
            return std::nullopt;
        }
    }
    if (!options.stateDirectory.startsWith(QLatin1Char('/'))) {
        *error = QStringLiteral("--state-dir must be an absolute path");
        return std::nullopt;
    }
    return options;
}

} // namespace qor::service
