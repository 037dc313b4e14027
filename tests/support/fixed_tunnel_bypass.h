#pragma once

#include "tunnel/platform/tunnel_bypass.h"

namespace qor {

class FixedTunnelBypass final : public TunnelBypass {
public:
    explicit FixedTunnelBypass(PathDecision decision) : m_decision(std::move(decision)) {}
    PathDecision decide(const QHostAddress &) const override { return m_decision; }

private:
    PathDecision m_decision;
};

} // namespace qor
