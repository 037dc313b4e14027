#pragma once

#include <QObject>

#include <memory>

class QSocketNotifier;

namespace qor::cli {

// Turns SIGINT and SIGTERM into a Qt signal on the main thread (through a pipe the
// handler writes to), so a waiting command ends through the event loop and every
// store is written before the process exits.
class SignalWatcher : public QObject {
    Q_OBJECT
public:
    explicit SignalWatcher(QObject *parent = nullptr);
    ~SignalWatcher() override;

    // The last signal received, 0 before any.
    int received() const { return m_received; }

Q_SIGNALS:
    void interrupted(int signalNumber);

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
    int m_received = 0;
};

} // namespace qor::cli
