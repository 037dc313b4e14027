#pragma once

#include "tunnel/platform/process_launcher.h"

#include <QObject>
#include <QString>

#include <memory>

namespace qor {

// Runs the Tavrin client "kvb-client" from the bundle's resources with the user's
// access key in a private file. The client listens for SOCKS on 127.0.0.1:1080.
// It is stopped, and its key file removed, when the application quits.
class TavrinHelper final : public QObject {
    Q_OBJECT
public:
    inline static const QString errorDomain = QStringLiteral("Tavrin");

    explicit TavrinHelper(QObject *parent = nullptr);
    TavrinHelper(ProcessLauncher &launcher, QObject *parent = nullptr);
    ~TavrinHelper() override;

    // Stops any earlier client, writes the trimmed key to the key file (created
    // private: folder 0700, file 0600) and launches the client. Throws Error of the
    // domain "Tavrin" (1: no client in the bundle, 2: empty key) or the platform's
    // error when the key cannot be written privately or the launch fails.
    void start(const QString &key, const QString &serverList);

    // Asks the client to end (without waiting) and deletes the key file. Never fails.
    void stop();

    bool isRunning() const { return m_process != nullptr; }
    qint64 processId() const;
    // The key file written by the last start, empty after stop.
    QString keyFile() const { return m_keyFile; }

    // "<data home>/QorConnect/tavrin.key".
    static QString keyFileLocation();
    // "<bundle>/Contents/Resources/kvb-client".
    static QString executablePath();

private:
    ProcessLauncher &m_launcher;
    std::unique_ptr<ChildProcess> m_process;
    QString m_keyFile;
};

} // namespace qor
