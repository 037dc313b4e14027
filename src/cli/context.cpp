#include "context.h"

#include "signal_watcher.h"

#include "runtime/cancel_token.h"
#include "runtime/qt_clock.h"
#include "tunnel/reserve_tunnel_manager.h"
#include "tunnel/tunnel_manager.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMetaMethod>
#include <QPointer>

#include <cstdio>

namespace qor::cli {

namespace {
void writeLine(FILE *stream, const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}
} // namespace

Context::Context(bool demo, SignalWatcher &signalWatcher, QObject *parent)
    : QObject(parent), m_demo(demo), m_signals(signalWatcher)
{
    connect(&m_signals, &SignalWatcher::interrupted, this, &Context::onInterrupt);
}

Context::~Context()
{
    // The state goes first: its tasks may still hold the backend's addresses.
    m_root.reset();
    m_demoSetup.reset();
}

void Context::out(const QString &line)
{
    writeLine(stdout, line);
}

void Context::err(const QString &line)
{
    writeLine(stderr, line);
}

void Context::outRaw(const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

bool Context::prepareEnvironment()
{
    if (!m_demo)
        return true;
    if (!m_demoSetup)
        m_demoSetup = std::make_unique<DemoSetup>();
    QString error;
    if (!m_demoSetup->applyEnvironment(&error)) {
        err(error);
        return false;
    }
    return true;
}

AppRoot *Context::root()
{
    if (m_root)
        return m_root.get();
    if (!prepareEnvironment())
        return nullptr;
    AppRoot::Options options;
    // The command line cannot open an address for the user: it shows it instead.
    options.openAddress = [this](const QUrl &url) {
        out(QStringLiteral("Откройте ссылку: ") + url.toString());
    };
    if (m_demo) {
        QString error;
        if (!m_demoSetup->startBackend([this](const QString &line) { err(line); }, &error)) {
            err(error);
            return nullptr;
        }
        options = m_demoSetup->rootOptions(options);
    }
    m_root = std::make_unique<AppRoot>(options);

    // Every announced change of the state wakes the waiters.
    AppState &state = m_root->state();
    const QMetaObject *meta = state.metaObject();
    const QMetaMethod relay = metaObject()->method(metaObject()->indexOfSignal("changed()"));
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
        const QMetaMethod method = meta->method(i);
        if (method.methodType() == QMetaMethod::Signal && method.parameterCount() == 0)
            connect(&state, method, this, relay);
    }
    return m_root.get();
}

QCoro::Task<AppState *> Context::startedState()
{
    AppRoot *built = root();
    if (!built)
        co_return nullptr;
    AppState *state = &built->state();
    if (!state->isStartupFinished())
        co_await waitFor([state] { return state->isStartupFinished(); }, startupLimit);
    // What the start-up's refresh queued (the corporate countdown's first pass) runs first.
    co_await nextEventLoopPass();
    co_return state;
}

QCoro::Task<AppState *> Context::claimedState()
{
    if (!claimInstance())
        co_return nullptr;
    co_return co_await startedState();
}

QCoro::Task<> Context::waitForTunnelsDown()
{
    AppRoot *built = root();
    if (!built)
        co_return;
    co_await built->tunnels().tunnel.stopAndWait(tunnelStopWaitSeconds);
    co_await built->tunnels().reserve.stopAndWait(tunnelStopWaitSeconds);
}

bool Context::claimInstance()
{
    if (!prepareEnvironment())
        return false;
    if (!m_lock)
        m_lock = std::make_unique<InstanceLock>();
    if (m_lock->tryAcquire())
        return true;
    err(InstanceLock::refusalText(m_lock->holder()));
    return false;
}

QCoro::Task<Context::Wait> Context::waitFor(std::function<bool()> done, std::chrono::milliseconds limit)
{
    QPointer<Context> self(this);
    const QDeadlineTimer deadline(limit);
    for (;;) {
        if (!self)
            co_return Wait::Interrupted;
        if (done())
            co_return Wait::Done;
        if (m_interruptSignal != 0)
            co_return Wait::Interrupted;
        const qint64 left = deadline.remainingTime();
        if (left <= 0)
            co_return Wait::TimedOut;
        // A cancellable sleep that the next change cuts short: its wake-up comes once,
        // through the event loop, however often the state changes meanwhile.
        const CancelToken token = CancelToken::create();
        const QMetaObject::Connection wakeUp = connect(this, &Context::changed, this, [token] { token.cancel(); });
        co_await QtClock::shared().sleep(std::chrono::milliseconds(left), token);
        if (!self)
            co_return Wait::Interrupted;
        disconnect(wakeUp);
    }
}

void Context::wake()
{
    Q_EMIT changed();
}

void Context::onInterrupt(int signalNumber)
{
    m_interruptSignal = signalNumber;
    if (!m_commandHandlesInterrupts) {
        QCoreApplication::exit(128 + signalNumber);
        return;
    }
    wake();
}

} // namespace qor::cli
