#include "qt_clock.h"

#include <QCoroSignal>
#include <QTimer>

namespace qor {

QDateTime QtClock::now() const
{
    return QDateTime::currentDateTimeUtc();
}

std::chrono::milliseconds QtClock::elapsed() const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch());
}

QCoro::Task<bool> QtClock::sleep(std::chrono::milliseconds duration, CancelToken token)
{
    if (token.isCancelled())
        co_return false;
    Waker waker;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, &waker, [&waker] { waker.fire(true); });
    token.addWaker(&waker);
    timer.start(std::max(duration, std::chrono::milliseconds{0}));
    const auto completed = co_await qCoro(&waker, &Waker::woken);
    token.removeWaker(&waker);
    co_return completed;
}

QCoro::Task<> nextEventLoopPass()
{
    Waker waker;
    QMetaObject::invokeMethod(&waker, [&waker] { waker.fire(true); }, Qt::QueuedConnection);
    co_await qCoro(&waker, &Waker::woken);
}

QtClock &QtClock::shared()
{
    static QtClock clock;
    return clock;
}

} // namespace qor
