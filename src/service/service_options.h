#pragma once

#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

namespace qor::service {

// How qor-connectd is run: its folders and time limits. The defaults are those of
// the installed service; tests point it at scratch folders and shorter limits.
struct ServiceOptions {
    QString stateDirectory = QStringLiteral("/var/lib/qor-connectd");
    QString traceDirectory; // empty: the application's shared trace folder
    std::chrono::milliseconds handshakeTimeout{30000};
    QStringList engineSearchPath; // empty: the standard system folders
    // Delays before each restart of a tunnel whose engine died; the last repeats.
    QList<std::chrono::milliseconds> restartDelays{std::chrono::seconds(1), std::chrono::seconds(2),
                                                   std::chrono::seconds(4), std::chrono::seconds(8),
                                                   std::chrono::seconds(16), std::chrono::seconds(30)};

    // Parses "--state-dir DIR", "--trace-dir DIR", "--handshake-timeout SECONDS",
    // "--engine-path DIR[:DIR…]". Absent (with *error set) for bad usage.
    static std::optional<ServiceOptions> parse(const QStringList &arguments, QString *error);
};

} // namespace qor::service
