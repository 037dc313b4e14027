#pragma once

// A loopback account server, transports pointed at it, and drivers for coroutines and the poll loop.

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

// Waits in real time for real I/O, sleeping in the event loop (not qWaitFor's 10 ms naps).
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

// Starts a coroutine; its result lands in a shared slot, live even after a failed wait.
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

// Virtual time moves only once each real exchange has ended; whether `done` held within the limit.
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
