#pragma once

#include "reserve_tunnel_manager.h"
#include "system_extension_manager.h"
#include "tavrin_helper.h"
#include "tavrin_resolver.h"
#include "traffic_monitor.h"
#include "tunnel/platform/bundle_extension_activator.h"
#include "tunnel/platform/linux_profile_service.h"
#include "tunnel_manager.h"

namespace qor {

// The production tunnel services of one process, for the composition roots (the
// application, qorctl): each service exactly once, wired to the Linux platform.
// Everything else receives the members it calls through its constructor.
struct TunnelServices {
    explicit TunnelServices(Clock &clock)
        : tunnel(profiles, clock), reserve(profiles, clock), extensions(activator), tavrinResolver(clock),
          traffic(clock)
    {
    }
    TunnelServices(const TunnelServices &) = delete;
    TunnelServices &operator=(const TunnelServices &) = delete;

    LinuxProfileService profiles;
    BundleExtensionActivator activator;
    TunnelManager tunnel;
    ReserveTunnelManager reserve;
    SystemExtensionManager extensions;
    TavrinResolver tavrinResolver;
    TavrinHelper tavrinHelper;
    TrafficMonitor traffic;
};

} // namespace qor
