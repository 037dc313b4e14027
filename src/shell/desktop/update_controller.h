#pragma once

#include "appcast.h"

#include "runtime/task_handle.h"

#include <QCoroTask>
#include <QObject>
#include <QPointer>
#include <QUrl>
#include <QVersionNumber>

#include <chrono>

namespace qor {

class Clock;

// Software updates: reads the appcast feed (its address fixed at build time) over
// HTTPS, and tells whether a newer release exists. A check asked for by the user
// reports every outcome; the scheduled background checks report only a newer release.
class UpdateController : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool canCheckForUpdates READ canCheckForUpdates NOTIFY canCheckForUpdatesChanged)

public:
    enum class Outcome { UpToDate, UpdateAvailable, Failed };
    Q_ENUM(Outcome)

    // `feed` must be HTTPS (plain HTTP only on a loopback host); otherwise nothing
    // can be checked.
    UpdateController(Clock &clock, QUrl feed, QVersionNumber current, QObject *parent = nullptr);
    ~UpdateController() override;

    static bool isAcceptableFeed(const QUrl &feed);

    // No check is running and the feed address is usable.
    bool canCheckForUpdates() const;
    // A check for the user ("Проверить обновления…").
    void checkForUpdates();
    // Background checks: the first after `first`, then every `interval`.
    void startScheduledChecks(std::chrono::milliseconds first, std::chrono::milliseconds interval);

    QUrl feed() const { return m_feed; }
    QVersionNumber currentVersion() const { return m_current; }

    // How long one request may take.
    static constexpr std::chrono::seconds requestLimit{30};

Q_SIGNALS:
    void canCheckForUpdatesChanged();
    // `release` is set for UpdateAvailable.
    void checkFinished(qor::UpdateController::Outcome outcome, const qor::appcast::Release &release, bool userInitiated);

private:
    void runCheck(bool userInitiated);
    static QCoro::Task<> check(QPointer<UpdateController> self, QUrl feed, QVersionNumber current, bool userInitiated);
    static QCoro::Task<> schedule(QPointer<UpdateController> self, CancelToken token, std::chrono::milliseconds first,
                                  std::chrono::milliseconds interval);
    void setChecking(bool value);

    Clock &m_clock;
    QUrl m_feed;
    QVersionNumber m_current;
    bool m_checking = false;
    TaskHandle m_schedule;
};

} // namespace qor

Q_DECLARE_METATYPE(qor::appcast::Release)
