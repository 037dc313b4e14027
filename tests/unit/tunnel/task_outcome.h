#pragma once

#include "manual_clock.h"
#include "runtime/error.h"

#include <QCoroTask>
#include <QString>

#include <memory>
#include <optional>

// Runs a task to its end without blocking the test: the outcome (value, or a qor::Error's domain, code and description)
// is filled in as it finishes, while the test drives the event loop or a manual clock.
struct OutcomeBase {
    bool done = false;
    std::optional<QString> errorDomain;
    int errorCode = 0;
    QString errorDescription;
    bool failed() const { return errorDomain.has_value(); }
};

template<typename T>
struct TaskOutcome : OutcomeBase {
    std::optional<T> value;
};

template<>
struct TaskOutcome<void> : OutcomeBase {};

namespace detail_outcome {
template<typename T>
QCoro::Task<> runInto(QCoro::Task<T> task, std::shared_ptr<TaskOutcome<T>> out)
{
    try {
        if constexpr (std::is_void_v<T>)
            co_await task;
        else
            out->value = co_await task;
    } catch (const qor::Error &error) {
        out->errorDomain = error.domain();
        out->errorCode = error.code();
        out->errorDescription = error.description();
    }
    out->done = true;
}
} // namespace detail_outcome

template<typename T>
std::shared_ptr<TaskOutcome<T>> track(QCoro::Task<T> &&task)
{
    auto out = std::make_shared<TaskOutcome<T>>();
    detail_outcome::runInto<T>(std::move(task), out);
    return out;
}

// track(), then the queued events delivered: a task that needs no time has finished.
template<typename T>
std::shared_ptr<TaskOutcome<T>> settled(QCoro::Task<T> &&task)
{
    auto out = track(std::move(task));
    qor::ManualClock::drainEvents();
    return out;
}
