#pragma once

#include <QCoroTask>
#include <QStringList>

#include <chrono>

namespace qor {

// Asks the connectivity endpoints, all at once, whether the network carries
// traffic. Any HTTP answer from 200 to 499 counts; the first one ends the probe
// and aborts the rest. Each request runs on a fresh session with no cache.
class ConnectivityProbe {
public:
    explicit ConnectivityProbe(QStringList urls, std::chrono::milliseconds timeout = std::chrono::seconds(8));

    QCoro::Task<bool> probe() const;

private:
    QStringList m_urls;
    std::chrono::milliseconds m_timeout;
};

} // namespace qor
