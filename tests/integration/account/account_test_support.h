#pragma once

// Shared by the account integration tests: a loopback account server, transports
// pointed at it, and a way to run coroutines and the poll loop from a test.

#include "account/account_transport.h"
#include "demo/account_server.h"
#include "manual_clock.h"
#include "runtime/task_handle.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QTest>
#include <QTimer>

namespace qor::testing {

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

// An answer with this JSON, written with single quotes (moc cannot read raw strings).
inline ScriptedAnswer body(const char *json, int httpStatus = 200)
{
    return ScriptedAnswer::raw(QByteArray(json).replace('\'', '"'), httpStatus, "application/json");
}

inline ScriptedAnswer status(const char *text, int httpStatus = 200)
{
    return ScriptedAnswer::json({{u"status"_s, QString::fromLatin1(text)}}, httpStatus);
}

// A recorded request in one line: method, path, content type and body.
inline QString shape(const RecordedRequest &request)
{
    return QString::fromUtf8(request.method + ' ' + request.path.toUtf8() + ' ' + request.header("content-type") + ' ' + request.body);
}

// Time limits short enough that a silent server costs a test a fraction of a second.
inline AccountTransport transportFor(const AccountServer &server, std::chrono::milliseconds shortTimeout = 400ms,
                                     std::chrono::milliseconds longTimeout = 600ms)
{
    return AccountTransport({server.baseUrl().toString(), shortTimeout, longTimeout});
}

// Waits in real time, for real I/O, until the condition holds; false after the limit.
// Sleeps in the event loop's own wait, not in 10 ms naps like QTest::qWaitFor.
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

// Starts a coroutine; its result lands in the shared slot, so one still running after
// a failed wait writes into live memory.
template<typename T>
std::shared_ptr<std::optional<T>> launch(QCoro::Task<T> task)
{
    auto slot = std::make_shared<std::optional<T>>();
    [](QCoro::Task<T> running, std::shared_ptr<std::optional<T>> out) -> QCoro::Task<> {
        *out = co_await std::move(running);
    }(std::move(task), slot);
    return slot;
}

// Runs a coroutine to its end; nothing when it outlives the limit.
template<typename T>
std::optional<T> finish(QCoro::Task<T> task, int limitMs = 5000)
{
    const auto slot = launch(std::move(task));
    waitUntil([&] { return slot->has_value(); }, limitMs);
    return *slot;
}

// Runs a poll loop in virtual time: each real exchange ends (the loop sleeps again)
// before the clock moves. Whether `done` came true within the virtual limit.
inline bool runPollLoop(ManualClock &clock, const std::function<bool()> &done, std::chrono::seconds virtualLimit)
{
    const QDateTime start = clock.now();
    while (waitUntil([&] { return done() || clock.pendingSleeps() > 0; }) && !done()) {
        if (start.secsTo(clock.now()) >= virtualLimit.count())
            return false;
        clock.advance(2s);
    }
    return done();
}

} // namespace qor::testing
