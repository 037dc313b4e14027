#pragma once

#include "runtime/clock.h"
#include "runtime/task_handle.h"
#include "tunnel/platform/interface_counters.h"

#include <QObject>

namespace qor {

// Measures the tunnel's traffic once a second from the counters of the running
// tunnels (as the counter source reports them), and publishes the current speeds and the totals of the
// current connection session. Each second only the busiest tunnel interface counts.
class TrafficMonitor final : public QObject {
    Q_OBJECT
    Q_PROPERTY(quint64 downloadBytesPerSecond READ downloadBytesPerSecond WRITE setDownloadBytesPerSecond NOTIFY
                   downloadBytesPerSecondChanged)
    Q_PROPERTY(quint64 uploadBytesPerSecond READ uploadBytesPerSecond WRITE setUploadBytesPerSecond NOTIFY
                   uploadBytesPerSecondChanged)
    Q_PROPERTY(quint64 sessionDownloadBytes READ sessionDownloadBytes NOTIFY sessionDownloadBytesChanged)
    Q_PROPERTY(quint64 sessionUploadBytes READ sessionUploadBytes NOTIFY sessionUploadBytesChanged)
    Q_PROPERTY(bool isSessionActive READ isSessionActive WRITE setIsSessionActive NOTIFY isSessionActiveChanged)

public:
    TrafficMonitor(Clock &clock, InterfaceCounterSource &counters, QObject *parent = nullptr);

    quint64 downloadBytesPerSecond() const { return m_download; }
    quint64 uploadBytesPerSecond() const { return m_upload; }
    quint64 sessionDownloadBytes() const { return m_sessionDownload; }
    quint64 sessionUploadBytes() const { return m_sessionUpload; }
    bool isSessionActive() const { return m_sessionActive; }

    void setDownloadBytesPerSecond(quint64 value);
    void setUploadBytesPerSecond(quint64 value);
    void setIsSessionActive(bool active);

    // Starts the one-second sampling; does nothing when it runs already. It never stops.
    void start();
    bool isSampling() const { return m_sampler.isPresent(); }

    // Zeroes the session totals, re-bases the counters and activates the session.
    void beginSession();
    // A session that began before this process: the tunnel that came up then counts
    // from that moment, so its totals start at the busiest tunnel's counters (which
    // the source reports from the moment each tunnel came up).
    void adoptSession();
    // The end of a session as the application state makes it: inactive, speeds 0;
    // the totals keep their last values.
    void endSession();

    // One sample.
    void tick();

    // The counters of the running tunnels.
    CounterSnapshot readCounters() const;

    // "0 КБ/с", "%.0f КБ/с" or "%.1f МБ/с", with a decimal point in every locale.
    static QString formatSpeed(quint64 bytesPerSecond);
    // "0 КБ", "%.0f КБ", "%.1f МБ" or "%.2f ГБ".
    static QString formatBytes(quint64 bytes);

Q_SIGNALS:
    void downloadBytesPerSecondChanged();
    void uploadBytesPerSecondChanged();
    void sessionDownloadBytesChanged();
    void sessionUploadBytesChanged();
    void isSessionActiveChanged();

private:
    QCoro::Task<> sample(CancelToken token);
    void setSessionDownloadBytes(quint64 value);
    void setSessionUploadBytes(quint64 value);

    Clock &m_clock;
    InterfaceCounterSource &m_counters;
    quint64 m_download = 0;
    quint64 m_upload = 0;
    quint64 m_sessionDownload = 0;
    quint64 m_sessionUpload = 0;
    CounterSnapshot m_previous;
    TaskHandle m_sampler;
    bool m_sessionActive = false;
};

} // namespace qor
