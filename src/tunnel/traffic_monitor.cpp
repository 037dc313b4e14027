#include "traffic_monitor.h"

#include <QPointer>

#include <charconv>
#include <limits>

namespace qor {

namespace {

constexpr double KiB = 1024.0;
constexpr double MiB = 1024.0 * 1024.0;
constexpr double GiB = 1024.0 * 1024.0 * 1024.0;

// printf's "%.Nf" in the C locale, whatever locale the process runs in.
QString fixed(double value, int decimals)
{
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    return QString::fromLatin1(buffer, int(result.ptr - buffer));
}

qint64 clamped(quint64 value)
{
    return qint64(std::min<quint64>(value, quint64(std::numeric_limits<qint64>::max())));
}

} // namespace

TrafficMonitor::TrafficMonitor(Clock &clock, InterfaceCounterSource &counters, QObject *parent)
    : QObject(parent), m_clock(clock), m_counters(counters)
{
}

TrafficMonitor::TrafficMonitor(Clock &clock, QObject *parent)
    : TrafficMonitor(clock, TunnelInterfaceCounters::shared(), parent)
{
}

void TrafficMonitor::startSession()
{
    m_sessionDownloadBytes = 0;
    Q_EMIT sessionDownloadBytesChanged();
    m_sessionUploadBytes = 0;
    Q_EMIT sessionUploadBytesChanged();
    m_previous = m_counters.read();
    m_sessionActive = true;
    Q_EMIT isSessionActiveChanged();
}

void TrafficMonitor::endSession()
{
    m_sessionActive = false;
    Q_EMIT isSessionActiveChanged();
    setSpeeds(0, 0);
}

void TrafficMonitor::startSampling()
{
    if (m_sampler.isPresent())
        return;
    m_previous = m_counters.read();
    sample(m_sampler.start());
}

QCoro::Task<> TrafficMonitor::sample(CancelToken token)
{
    QPointer<TrafficMonitor> self(this);
    Clock &clock = m_clock;
    for (;;) {
        const bool elapsed = co_await clock.sleep(std::chrono::seconds{1}, token);
        if (!self || !elapsed || token.isCancelled())
            co_return;
        self->tick();
    }
}

void TrafficMonitor::tick()
{
    CounterSnapshot current = m_counters.read();
    quint64 bestReceived = 0;
    quint64 bestSent = 0;
    for (const auto &[name, counts] : current) {
        const auto before = m_previous.find(name);
        if (before == m_previous.end())
            continue; // a new interface counts from its second sample on
        // A counter that went backwards (the interface was recreated) gives 0.
        const quint64 received = counts.first >= before->second.first ? counts.first - before->second.first : 0;
        const quint64 sent = counts.second >= before->second.second ? counts.second - before->second.second : 0;
        if (received + sent > bestReceived + bestSent) {
            bestReceived = received;
            bestSent = sent;
        }
    }
    m_previous = std::move(current);

    if (!m_sessionActive) {
        setSpeeds(0, 0);
        return;
    }
    setSpeeds(bestReceived, bestSent);
    addToSession(bestReceived, bestSent);
}

void TrafficMonitor::setSpeeds(quint64 download, quint64 upload)
{
    m_downloadBytesPerSecond = clamped(download);
    Q_EMIT downloadBytesPerSecondChanged();
    m_uploadBytesPerSecond = clamped(upload);
    Q_EMIT uploadBytesPerSecondChanged();
}

void TrafficMonitor::addToSession(quint64 download, quint64 upload)
{
    m_sessionDownloadBytes = clamped(quint64(m_sessionDownloadBytes) + download);
    Q_EMIT sessionDownloadBytesChanged();
    m_sessionUploadBytes = clamped(quint64(m_sessionUploadBytes) + upload);
    Q_EMIT sessionUploadBytesChanged();
}

QString TrafficMonitor::formatSpeed(qint64 bytesPerSecond)
{
    const double b = double(std::max<qint64>(bytesPerSecond, 0));
    if (b < KiB)
        return QStringLiteral("0 КБ/с");
    if (b < MiB)
        return fixed(b / KiB, 0) + QStringLiteral(" КБ/с");
    return fixed(b / MiB, 1) + QStringLiteral(" МБ/с");
}

QString TrafficMonitor::formatBytes(qint64 bytes)
{
    const double b = double(std::max<qint64>(bytes, 0));
    if (b < KiB)
        return QStringLiteral("0 КБ");
    if (b < MiB)
        return fixed(b / KiB, 0) + QStringLiteral(" КБ");
    if (b < GiB)
        return fixed(b / MiB, 1) + QStringLiteral(" МБ");
    return fixed(b / GiB, 2) + QStringLiteral(" ГБ");
}

} // namespace qor
