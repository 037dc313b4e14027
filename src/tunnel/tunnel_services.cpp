#include "tunnel_services.h"

#include "tunnel/platform/bundle_extension_activator.h"
#include "tunnel/platform/linux_profile_service.h"
#include "tunnel/platform/service_extension_activator.h"
#include "tunnel/platform/service_profile_service.h"

namespace qor {

TunnelPlatform TunnelPlatform::make(Kind kind)
{
    TunnelPlatform platform;
    if (kind == Kind::DemoFiles) {
        platform.profiles = std::make_unique<LinuxProfileService>();
        platform.activator = std::make_unique<BundleExtensionActivator>();
        // The simulated providers make real "utun" interfaces; nothing else counts.
        platform.ownCounters = std::make_unique<ProcNetDevCounters>(QStringLiteral("/proc/net/dev"), QStringLiteral("utun"));
        platform.counters = platform.ownCounters.get();
        return platform;
    }
    auto service = std::make_unique<ServiceProfileService>();
    platform.counters = service.get();
    platform.profiles = std::move(service);
    platform.activator = std::make_unique<ServiceExtensionActivator>();
    return platform;
}

} // namespace qor
