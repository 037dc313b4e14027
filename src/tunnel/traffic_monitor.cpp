#include "traffic_monitor.h"

#include <QPointer>

#include <clocale>
#include <cstdio>
#include <locale.h>

using namespace std::chrono_literals;

namespace qor {

TrafficMonitor::TrafficMonitor(Clock &clock, InterfaceCounterSource &counters, QObject *parent)
    : QObject(parent), m_clock(clock), m_counters(counters)
{
}

void TrafficMonitor::setDownloadBytesPerSecond(quint64 value)
{
    m_download = value;
    Q_EMIT downloadBytesPerSecondChanged();
}

void TrafficMonitor::setUploadBytesPerSecond(quint64 value)
{
    m_upload = value;
    Q_EMIT uploadBytesPerSecondChanged();
}

void TrafficMonitor::setSessionDownloadBytes(quint64 value)
{
    m_sessionDownload = value;
    Q_EMIT sessionDownloadBytesChanged();
}

void TrafficMonitor::setSessionUploadBytes(quint64 value)
{
    m_sessionUpload = value;
    Q_EMIT sessionUploadBytesChanged();
}

void TrafficMonitor::setIsSessionActive(bool active)
{
    m_sessionActive = active;
    Q_EMIT isSessionActiveChanged();
}

CounterSnapshot TrafficMonitor::readCounters() const
{
    return m_counters.read();
}

void TrafficMonitor::start()
{
    if (m_sampler.isPresent())
        return;
    m_previous = readCounters();
    sample(m_sampler.start());
}

QCoro::Task<> TrafficMonitor::sample(CancelToken token)
{
    QPointer<TrafficMonitor> self(this);
    Clock &clock = m_clock;
    for (;;) {
        const bool completed = co_await clock.sleep(1s, token);
        if (!self || !completed || token.isCancelled())
            co_return;
        self->tick();
    }
}

void TrafficMonitor::beginSession()
{
    setSessionDownloadBytes(0);
    setSessionUploadBytes(0);
    m_previous = readCounters();
    setIsSessionActive(true);
}

void TrafficMonitor::adoptSession()
{
    beginSession();
    InterfaceCounters busiest;
    for (const InterfaceCounters &counters : std::as_const(m_previous)) {
        if (counters.received + counters.sent > busiest.received + busiest.sent)
            busiest = counters;
    }
    setSessionDownloadBytes(busiest.received);
    setSessionUploadBytes(busiest.sent);
}

void TrafficMonitor::endSession()
{
    setIsSessionActive(false);
    setDownloadBytesPerSecond(0);
    setUploadBytesPerSecond(0);
}

void TrafficMonitor::tick()
{
    const CounterSnapshot current = readCounters();
    quint64 bestReceived = 0;
    quint64 bestSent = 0;
    for (auto it = current.constBegin(); it != current.constEnd(); ++it) {
        const auto previous = m_previous.constFind(it.key());
        if (previous == m_previous.constEnd())
            continue; // a new interface counts from its second sample
        // A counter that went backwards (the interface was recreated) gives 0.
        const quint64 received = it->received >= previous->received ? it->received - previous->received : 0;
        const quint64 sent = it->sent >= previous->sent ? it->sent - previous->sent : 0;
        if (received + sent > bestReceived + bestSent) {
            bestReceived = received;
            bestSent = sent;
        }
    }
    m_previous = current;

    if (!m_sessionActive) {
        setDownloadBytesPerSecond(0);
        setUploadBytesPerSecond(0);
        return;
    }
    setDownloadBytesPerSecond(bestReceived);
    setUploadBytesPerSecond(bestSent);
    setSessionDownloadBytes(m_sessionDownload + bestReceived);
    setSessionUploadBytes(m_sessionUpload + bestSent);
}

namespace {

// printf with the C locale's decimal point, whatever the process locale is.
QString formatC(const char *format, double value)
{
    static const locale_t cLocale = ::newlocale(LC_NUMERIC_MASK, "C", nullptr);
    const locale_t previous = ::uselocale(cLocale);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, value);
    ::uselocale(previous);
    return QString::fromUtf8(buffer);
}

constexpr double KiB = 1024.0;
constexpr double MiB = 1048576.0;
constexpr double GiB = 1073741824.0;

} // namespace

QString TrafficMonitor::formatSpeed(quint64 b)
{
    if (b < 1024)
        return QStringLiteral("0 КБ/с");
    if (b < 1048576)
        return formatC("%.0f КБ/с", double(b) / KiB);
    return formatC("%.1f МБ/с", double(b) / MiB);
}

QString TrafficMonitor::formatBytes(quint64 b)
{
    if (b < 1024)
        return QStringLiteral("0 КБ");
    if (b < 1048576)
        return formatC("%.0f КБ", double(b) / KiB);
    if (b < 1073741824)
        return formatC("%.1f МБ", double(b) / MiB);
    return formatC("%.2f ГБ", double(b) / GiB);
}

} // namespace qor
