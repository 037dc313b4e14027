#pragma once

#include <QObject>
#include <QProcess>
#include <QStringList>

#include <memory>
#include <optional>

namespace qor::service {

// A tunnel engine the service runs as a child: a clean environment, no shell, standard
// input given up front (so secrets never reach a command line), the tail of its output
// kept for the user's error text, and an end tied to the service's, so an engine never
// outlives the service that owns its routes.
class EngineProcess final : public QObject {
    Q_OBJECT
public:
    struct Launch {
        QString program;
        QStringList arguments;
        QProcessEnvironment environment; // added to PATH=/usr/sbin:/usr/bin:/sbin:/bin
        QByteArray input;                // written to standard input, which is then closed
        std::optional<uint> groupId;     // runs with this group and no supplementary groups
    };

    explicit EngineProcess(QObject *parent = nullptr);
    ~EngineProcess() override; // terminates the process, kills it if it lingers

    // False when the program could not be executed; failureDetail() says why.
    bool start(const Launch &launch);
    bool isRunning() const;
    qint64 processId() const;
    int exitCode() const;
    // Why it could not be started, or the last line it wrote.
    QString failureDetail() const;

Q_SIGNALS:
    // The process ended (by itself or killed).
    void exited();

private:
    std::unique_ptr<QProcess> m_process;
    QByteArray m_output;
    QString m_failure;
};

} // namespace qor::service
