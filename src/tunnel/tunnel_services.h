#pragma once

#include "reserve_tunnel_manager.h"
#include "system_extension_manager.h"
#include "tavrin_helper.h"
#include "tavrin_resolver.h"
#include "traffic_monitor.h"
#include "tunnel/platform/extension_activator.h"
#include "tunnel/platform/interface_counters.h"
#include "tunnel/platform/profile_service.h"
#include "tunnel_manager.h"

#include <memory>

namespace qor {

// The platform under the tunnel managers: the tunnel service qor-connectd over the
// system bus, or (the demo) the file-based profiles with the simulated providers
// of the bundle, which need neither root nor a service.
struct TunnelPlatform {
    enum class Kind { Service, DemoFiles };

    static TunnelPlatform make(Kind kind);

    std::unique_ptr<ProfileService> profiles;
    std::unique_ptr<ExtensionActivator> activator;
    InterfaceCounterSource *counters = nullptr; // owned by profiles or ownCounters
    std::unique_ptr<InterfaceCounterSource> ownCounters;
};

// The production tunnel services of one process, for the composition roots (the
// application, qorctl): each service exactly once, wired to the platform.
// Everything else receives the members it calls through its constructor.
struct TunnelServices {
    TunnelServices(Clock &clock, TunnelPlatform::Kind kind)
        : platform(TunnelPlatform::make(kind)), tunnel(*platform.profiles, clock),
          reserve(*platform.profiles, clock), extensions(*platform.activator), tavrinResolver(clock),
          traffic(clock, *platform.counters)
    {
    }
    TunnelServices(const TunnelServices &) = delete;
    TunnelServices &operator=(const TunnelServices &) = delete;

    TunnelPlatform platform;
    TunnelManager tunnel;
    ReserveTunnelManager reserve;
    SystemExtensionManager extensions;
    TavrinResolver tavrinResolver;
    TavrinHelper tavrinHelper;
    TrafficMonitor traffic;
};

} // namespace qor
