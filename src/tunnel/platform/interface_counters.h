#pragma once

#include <QMap>
#include <QString>

namespace qor {

struct InterfaceCounters {
    quint64 received = 0;
    quint64 sent = 0;
    bool operator==(const InterfaceCounters &) const = default;
};

using CounterSnapshot = QMap<QString, InterfaceCounters>;

// Per-interface byte counters of the system.
class InterfaceCounterSource {
public:
    virtual ~InterfaceCounterSource() = default;
    // Every interface with its counters; empty when they cannot be read.
    virtual CounterSnapshot read() const = 0;
};

// The kernel's 64-bit counters of the calling process's network namespace, as
// listed in /proc/net/dev, so a busy tunnel never wraps them; only interfaces whose
// names begin with namePrefix (empty: all).
class ProcNetDevCounters final : public InterfaceCounterSource {
public:
    explicit ProcNetDevCounters(QString path = QStringLiteral("/proc/net/dev"), QString namePrefix = {})
        : m_path(std::move(path)), m_prefix(std::move(namePrefix)) {}
    CounterSnapshot read() const override;

private:
    QString m_path;
    QString m_prefix;
};

} // namespace qor
