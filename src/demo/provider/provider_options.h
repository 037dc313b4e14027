#pragma once

#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <optional>

namespace qor::demo {

// How the simulated provider behaves. Each setting comes from the environment
// (QOR_DEMO_PROVIDER_<NAME>) and may be overridden by the provider configuration:
// for the main channel a "qor_demo" object inside the configuration document, for
// the reserve channel lines "# qor-demo: <name>=<value>" in a wg-quick text.
//
//   fail=<text>          fail at once, leaving <text> as the tunnel's last error
//   stay_connecting=1    never get past connecting
//   connect_delay=<s>    seconds from connecting to connected (default 0.5)
//   drop_after=<s>       lose the connection <s> seconds after connecting
//   drop_error=<text>    the last error left behind by such a loss
//   crash_after=<s>      die <s> seconds after connecting, without a word
//   crash_at=<stage>     die without a word at a stage of the start: "start" (before
//                        any state is published), "connecting" (right after reporting
//                        connecting) or "connected" (right after reporting connected)
//   garbage_state=1      instead of reporting connected, leave a state file that is
//                        not a state document and end
//   tun=0                never create a tunnel interface
//   traffic=<bytes>      feed that many bytes a second into the interface
struct ProviderOptions {
    std::optional<QString> failText;
    bool stayConnecting = false;
    double connectDelay = 0.5;
    std::optional<double> dropAfter;
    std::optional<QString> dropError;
    std::optional<double> crashAfter;
    std::optional<QString> crashAt;
    bool garbageState = false;
    bool tun = true;
    quint64 trafficBytesPerSecond = 0;

    void applyEnvironment();
    void apply(const QVariantMap &settings);

    // Settings embedded in the configuration of each channel.
    static QVariantMap fromMainDocument(const QString &configContent);
    static QVariantMap fromWgQuickTexts(const QStringList &texts);
};

} // namespace qor::demo
