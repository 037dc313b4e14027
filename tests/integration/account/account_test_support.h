#pragma once

// Shared by the account integration tests: a loopback account server, transports
// pointed at it, and a way to run coroutines and the poll loop from a test.

#include "account/account_transport.h"
#include "manual_clock.h"
#include "runtime/task_handle.h"
#include "demo/account_server.h"

#include <QCoroTask>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>
#include <QJsonDocument>
#include <QTest>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace qor::testing {

using namespace std::chrono_literals;

// JSON written with single quotes for legibility (moc cannot read raw string literals).
inline QByteArray j(const char *text)
{
    return QByteArray(text).replace('\'', '"');
}

inline QJsonObject jo(const char *text)
{
    return QJsonDocument::fromJson(j(text)).object();
}

// Time limits short enough that a silent server costs a test a fraction of a second.
inline AccountTransport transportFor(const AccountServer &server, std::chrono::milliseconds shortTimeout = 400ms,
                                     std::chrono::milliseconds longTimeout = 600ms)
{
    AccountTransport::Settings settings;
    settings.baseAddress = server.baseUrl().toString();
    settings.shortTimeout = shortTimeout;
    settings.longTimeout = longTimeout;
    return AccountTransport(settings);
}

// Runs a coroutine to its end on the event loop; nothing when it outlives the limit.
// (A QEventLoop rather than QTest::qWaitFor, which naps 10 ms between rounds and
// would make every exchange look slow.)
template<typename T>
std::optional<T> finish(QCoro::Task<T> task, int limitMs = 5000)
{
    struct Outcome {
        std::optional<T> value;
        QEventLoop loop;
    };
    // Shared, so a coroutine still running after a failed wait writes into live memory.
    auto outcome = std::make_shared<Outcome>();
    [](QCoro::Task<T> running, std::shared_ptr<Outcome> out) -> QCoro::Task<> {
        out->value = co_await std::move(running);
        out->loop.quit();
    }(std::move(task), outcome);
    if (!outcome->value) {
        QTimer::singleShot(limitMs, &outcome->loop, &QEventLoop::quit);
        outcome->loop.exec();
    }
    return outcome->value;
}

// Waits in real time, for real I/O, until the condition holds; false after the limit.
// Sleeps in the event loop's own wait instead of napping like QTest::qWaitFor, so a
// run of ninety HTTP exchanges takes milliseconds each, not tens of them.
inline bool waitUntil(const std::function<bool()> &condition, int limitMs = 5000)
{
    QDeadlineTimer deadline(limitMs);
    QTimer wake; // ends the blocking wait at the limit
    wake.start(limitMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

// Runs a poll loop in virtual time. Each HTTP exchange is real, so before moving the
// clock this waits (in real time, briefly) until the loop is asleep again; then it
// moves the clock to the next wake-up. Returns whether `done` came true within the
// virtual limit.
inline bool runPollLoop(ManualClock &clock, const std::function<bool()> &done, std::chrono::seconds virtualLimit,
                        std::chrono::seconds step = 2s)
{
    const QDateTime start = clock.now();
    for (;;) {
        if (!waitUntil([&] { return done() || clock.pendingSleeps() > 0; }))
            return false;
        if (done())
            return true;
        if (start.secsTo(clock.now()) >= virtualLimit.count())
            return false;
        clock.advance(step);
    }
}

} // namespace qor::testing
