#include "app_root.h"

#include "account/secret_store_file.h"
#include "account/secret_store_lazy.h"
#include "runtime/deployment.h"
#include "runtime/descriptor_limit.h"
#include "runtime/qt_clock.h"

#include <QLoggingCategory>

namespace qor {

namespace {
Q_LOGGING_CATEGORY(lcShell, "com.qorvpn.connect.shell")

constexpr std::chrono::milliseconds secretFlushLimit{3000};

AccountTransport transportFor(const QString &apiBase)
{
    AccountTransport::Settings settings;
    settings.baseAddress = apiBase; // empty: the deployment value
    return AccountTransport(settings);
}

std::unique_ptr<SecretStore> secretStoreFor(bool fileOnly)
{
    if (fileOnly)
        return std::make_unique<FileSecretStore>();
    return std::make_unique<LazySecretStore>(&openSecretStore);
}

LatencyProbe latencyProbeFor(const LatencyProbe::Attempt &attempt)
{
    LatencyProbe::Options options;
    options.attempt = attempt;
    return LatencyProbe(options);
}
} // namespace

AppRoot::AppRoot()
    : AppRoot(Options{})
{
}

AppRoot::AppRoot(Options options)
    : m_options(std::move(options))
    // Measuring every node at once needs far more descriptors than the default 1 024.
    , m_descriptorLimit(descriptors::raiseSoftLimitToHard())
    , m_clock(QtClock::shared())
    , m_stores(DefaultsStores::defaultDirectory())
    , m_secrets(secretStoreFor(m_options.fileSecretStore))
    , m_session(m_stores.shared(), *m_secrets, m_clock)
    , m_trace(deployment::traceDirectory(), m_clock)
    , m_login(m_clock, transportFor(m_options.apiBase), m_options.deepLinkBase)
    , m_emailLogin(transportFor(m_options.apiBase))
    , m_tunnels(m_clock, m_options.tunnelPlatform)
    , m_connectivity(m_options.probeUrls.isEmpty() ? deployment::probeUrls() : m_options.probeUrls)
    , m_latency(latencyProbeFor(m_options.latencyAttempt))
    , m_preferences(m_stores.standard())
{
    if (m_options.tavrinEntries) {
        TavrinResolver::Options resolver;
        resolver.port = m_options.tavrinPort;
        m_customResolver = std::make_unique<TavrinResolver>(m_clock, *m_options.tavrinEntries, resolver);
    }
    qCInfo(lcShell) << "descriptor limit" << m_descriptorLimit << "account server" << m_login.transport().baseAddress();
    m_tunnels.traffic.start();
    m_state = std::make_unique<AppState>(services());
}

AppRoot::~AppRoot()
{
    m_state.reset();
    if (!m_secrets->flush(secretFlushLimit))
        qCWarning(lcShell) << "secret store writes still pending at exit";
    m_stores.shared().sync();
    m_stores.standard().sync();
}

AppServices AppRoot::services()
{
    AppServices s{m_clock,
                  m_stores.shared(),
                  m_stores.standard(),
                  m_session,
                  m_trace,
                  m_login,
                  m_tunnels.tunnel,
                  m_tunnels.reserve,
                  m_tunnels.traffic,
                  m_tunnels.extensions,
                  tavrinResolver(),
                  m_tunnels.tavrinHelper,
                  m_options.openAddress,
                  {},
                  {},
                  {}};
    const ConnectivityProbe *probe = &m_connectivity;
    s.probeConnectivity = [probe]() { return probe->probe(); };
    const LatencyProbe *latency = &m_latency;
    s.measureLatency = [latency](QString host, quint16 port, int attempts) {
        return latency->measureLatency(std::move(host), port, attempts);
    };
    s.latencyConcurrency = [] { return descriptors::availableBudget(); };
    return s;
}

} // namespace qor
