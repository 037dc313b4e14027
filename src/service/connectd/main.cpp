// qor-connectd: the privileged tunnel service. Owns every user's VPN profiles and
// runs their tunnels; reached over the system bus (DBUS_SYSTEM_BUS_ADDRESS, when set,
// names another bus, as for any Qt program).

#include "service/authorizer.h"
#include "service/engine_paths.h"
#include "service/profile_store.h"
#include "service/service_log.h"
#include "service/service_options.h"
#include "service/tunnel_service.h"
#include "service/tunnel_supervisor.h"

#include "tunnel/platform/tunnel_service_bus.h"

#include <QCoreApplication>
#include <QCoroTask>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

using namespace qor;
using namespace qor::service;

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

QCoro::Task<> serve(TunnelSupervisor &supervisor, TunnelService &service, QDBusConnection bus)
{
    // What a crashed run left goes before anyone can ask for a tunnel.
    co_await supervisor.cleanLeftovers();
    if (!bus.registerObject(tunnel_service_bus::objectPath, &service,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals)
        || !bus.registerService(tunnel_service_bus::serviceName)) {
        std::fprintf(stderr, "qor-connectd: cannot take the name %s: %s\n", qPrintable(tunnel_service_bus::serviceName),
                     qPrintable(bus.lastError().message()));
        QCoreApplication::exit(1);
        co_return;
    }
    qCInfo(lcService) << "serving on" << (qEnvironmentVariableIsSet("DBUS_SYSTEM_BUS_ADDRESS") ? "a private bus" : "the system bus");
}

QCoro::Task<> shutDown(TunnelSupervisor &supervisor)
{
    co_await supervisor.shutdown();
    QCoreApplication::quit();
}

} // namespace

int main(int argc, char *argv[])
{
    ::umask(077);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("qor-connectd"));

    QString error;
    const auto options = ServiceOptions::parse(app.arguments(), &error);
    if (!options) {
        std::fprintf(stderr, "qor-connectd: %s\nUsage: qor-connectd [--state-dir DIR] [--trace-dir DIR] "
                             "[--handshake-timeout SECONDS] [--engine-path DIR[:DIR...]]\n",
                     qPrintable(error));
        return 2;
    }
    const EnginePaths paths = options->engineSearchPath.isEmpty() ? EnginePaths::resolve()
                                                                  : EnginePaths::resolve(options->engineSearchPath);
    qCInfo(lcService) << "engines: ip" << paths.ip << "nft" << paths.nft << "wireguard-go" << paths.wireguardGo
                      << "amneziawg-go" << paths.amneziawgGo << "xray" << paths.xray << "v2ray" << paths.v2ray
                      << "geosite" << paths.geosite;

    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "qor-connectd: no system bus: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }

    ProfileStore store(options->stateDirectory);
    TunnelSupervisor supervisor(*options, paths, store);
    TunnelService service(store, supervisor, Authorizer(bus));

    if (::pipe2(signalPipe, O_CLOEXEC) != 0)
        return 1;
    QSocketNotifier signals(signalPipe[0], QSocketNotifier::Read);
    bool stopping = false;
    QObject::connect(&signals, &QSocketNotifier::activated, &app, [&] {
        char byte;
        [[maybe_unused]] const auto read = ::read(signalPipe[0], &byte, 1);
        if (stopping)
            return;
        stopping = true;
        bus.unregisterService(tunnel_service_bus::serviceName);
        shutDown(supervisor);
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);

    serve(supervisor, service, bus);
    return app.exec();
}
