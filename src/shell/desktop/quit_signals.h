#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <memory>

namespace qor {

// SIGTERM, SIGINT and SIGHUP (the session ending, Ctrl+C in a terminal) as a Qt
// signal on the main thread, so that the application quits its usual way.
class QuitSignals : public QObject {
    Q_OBJECT
public:
    explicit QuitSignals(QObject *parent = nullptr);
    ~QuitSignals() override;

Q_SIGNALS:
    void quitRequested(int signalNumber);

private:
    void drain();

    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace qor
