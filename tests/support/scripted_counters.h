#pragma once

#include "tunnel/platform/interface_counters.h"

namespace qor {

class ScriptedCounters final : public InterfaceCounterSource {
public:
    CounterSnapshot read() const override { return m_snapshot; }
    void set(const QString &name, quint64 received, quint64 sent) { m_snapshot.insert(name, {received, sent}); }
    void add(const QString &name, quint64 received, quint64 sent)
    {
        auto &c = m_snapshot[name];
        c.received += received;
        c.sent += sent;
    }
    void clear() { m_snapshot.clear(); }

private:
    CounterSnapshot m_snapshot;
};

} // namespace qor
