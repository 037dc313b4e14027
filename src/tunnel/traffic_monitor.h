#pragma once

#include "core/runtime/clock.h"
#include "core/runtime/task_handle.h"
#include "tunnel/platform/interface_counters.h"

#include <QObject>
#include <QString>

namespace qor {

// Traffic of the tunnel, from the kernel's byte counters of the "utun" interfaces,
// sampled once a second: the current speeds and the totals of the current session.
// Each second only the busiest tunnel interface (largest received + sent delta)
// counts. Lives on the main thread.
class TrafficMonitor : public QObject {
    Q_OBJECT
    Q_PROPERTY(qint64 downloadBytesPerSecond READ downloadBytesPerSecond NOTIFY downloadBytesPerSecondChanged)
    Q_PROPERTY(qint64 uploadBytesPerSecond READ uploadBytesPerSecond NOTIFY uploadBytesPerSecondChanged)
    Q_PROPERTY(qint64 sessionDownloadBytes READ sessionDownloadBytes NOTIFY sessionDownloadBytesChanged)
    Q_PROPERTY(qint64 sessionUploadBytes READ sessionUploadBytes NOTIFY sessionUploadBytesChanged)
    Q_PROPERTY(bool isSessionActive READ isSessionActive NOTIFY isSessionActiveChanged)
public:
    // clock: paces the one-second sampler. counters: where samples come from.
    // Both must outlive the monitor.
    TrafficMonitor(Clock &clock, InterfaceCounterSource &counters, QObject *parent = nullptr);
    // The kernel's tunnel interface counters.
    explicit TrafficMonitor(Clock &clock, QObject *parent = nullptr);

    qint64 downloadBytesPerSecond() const { return m_downloadBytesPerSecond; }
    qint64 uploadBytesPerSecond() const { return m_uploadBytesPerSecond; }
    qint64 sessionDownloadBytes() const { return m_sessionDownloadBytes; }
    qint64 sessionUploadBytes() const { return m_sessionUploadBytes; }
    bool isSessionActive() const { return m_sessionActive; }

    // Zeroes the session totals and re-bases the counters, so traffic from before
    // the session never counts; samples are added from now on.
    void startSession();
    // Samples stop counting; both speeds read 0, the totals keep their values.
    void endSession();
    // Starts the one-second sampler; does nothing when it already runs. It runs
    // until the monitor is destroyed.
    void startSampling();
    // One sample; the sampler calls it every second.
    void tick();

    // "0 КБ/с" below 1 KiB, "%.0f КБ/с" below 1 MiB, else "%.1f МБ/с"; always with
    // a decimal point.
    static QString formatSpeed(qint64 bytesPerSecond);
    // "0 КБ", "%.0f КБ", "%.1f МБ" or "%.2f ГБ"; always with a decimal point.
    static QString formatBytes(qint64 bytes);

Q_SIGNALS:
    void downloadBytesPerSecondChanged();
    void uploadBytesPerSecondChanged();
    void sessionDownloadBytesChanged();
    void sessionUploadBytesChanged();
    void isSessionActiveChanged();

private:
    QCoro::Task<> sample(CancelToken token);
    void setSpeeds(quint64 download, quint64 upload);
    void addToSession(quint64 download, quint64 upload);

    Clock &m_clock;
    InterfaceCounterSource &m_counters;
    CounterSnapshot m_previous;
    TaskHandle m_sampler;
    qint64 m_downloadBytesPerSecond = 0;
    qint64 m_uploadBytesPerSecond = 0;
    qint64 m_sessionDownloadBytes = 0;
    qint64 m_sessionUploadBytes = 0;
    bool m_sessionActive = false;
};

} // namespace qor
