#pragma once

#include "tunnel/platform/interface_counters.h"

#include <QObject>

#include <optional>

namespace qor::service {

// One run of a channel's tunnel inside the service: brought up by start(), taken
// down by stop() or by its own failure. Whatever it changed on the machine is undone
// before ended() is emitted.
class TunnelProvider : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    virtual void start() = 0;
    // Asynchronous; ended() follows.
    virtual void stop() = 0;
    // The tunnel's byte counters since it came up; absent while it is not up.
    virtual std::optional<InterfaceCounters> counters() const = 0;

Q_SIGNALS:
    // The tunnel carries traffic.
    void connected();
    // The run is over and cleaned up. wasConnected: it had been up. reason: the
    // Russian text for the user when it failed (empty after a stop).
    void ended(bool wasConnected, const QString &reason);
};

} // namespace qor::service
