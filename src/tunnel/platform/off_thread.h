#pragma once

#include <QFuture>
#include <QPromise>
#include <QThreadPool>

#include <memory>
#include <type_traits>

namespace qor {

// Threads for blocking network work (look-ups, connection attempts). Separate from
// the global pool so that a handful of slow look-ups never queue behind each other
// on a two-core machine.
QThreadPool &networkThreadPool();

// Runs fn on the network pool; the future resolves with its result. Awaited with
// QCoro, the caller resumes on its own thread.
template<typename F>
auto runOffThread(F fn) -> QFuture<std::invoke_result_t<F>>
{
    using R = std::invoke_result_t<F>;
    auto promise = std::make_shared<QPromise<R>>();
    QFuture<R> future = promise->future();
    promise->start();
    networkThreadPool().start([promise, fn = std::move(fn)]() mutable {
        if constexpr (std::is_void_v<R>) {
            fn();
        } else {
            promise->addResult(fn());
        }
        promise->finish();
    });
    return future;
}

} // namespace qor
