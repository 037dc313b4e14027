#pragma once

#include "tunnel/platform/child_process.h"

#include <QObject>
#include <QString>

#include <memory>
#include <optional>

namespace qor {

// Runs the Tavrin client "kvb-client" from the bundle's resources: writes the
// user's access key to a private file and starts the client with the command
// line it expects, listening on 127.0.0.1:1080.
//
// Lives on the main thread. The client is stopped (and its key file removed) by
// stop(), by the next start(), when the application is about to quit, and when the
// helper is destroyed.
class TavrinHelper : public QObject {
    Q_OBJECT
public:
    struct Setup {
        QString bundleRoot;                       // empty: the running application's bundle
        QString keyFolder;                        // empty: <XDG data home>/QorConnect
        ChildProcessLauncher *launcher = nullptr; // null: QProcessLauncher::shared()
    };

    explicit TavrinHelper(QObject *parent = nullptr);
    explicit TavrinHelper(Setup setup, QObject *parent = nullptr);
    ~TavrinHelper() override;

    // Stops any running client, then writes the trimmed key to "tavrin.key" (mode
    // 0600 from its creation, in a 0700 folder) and launches the client. Throws
    // qor::Error of domain "Tavrin": code 1 when the bundle lacks the client, code 2
    // when the key is empty; a PlatformError when the key file cannot be written
    // privately or the client cannot be launched.
    void start(const QString &key, const QString &serverList);

    // Asks a running client to end (without waiting) and deletes the key file.
    // Never fails.
    void stop();

    bool isRunning() const { return m_process != nullptr; }
    // Where start() writes the key.
    QString keyFilePath() const;

private:
    QString executablePath() const;

    Setup m_setup;
    std::unique_ptr<ChildProcess> m_process;
    std::optional<QString> m_keyFile;
};

namespace tavrin_errors {
inline const QString domain = QStringLiteral("Tavrin");
enum Code {
    ClientMissing = 1,
    KeyMissing = 2,
};
} // namespace tavrin_errors

} // namespace qor
