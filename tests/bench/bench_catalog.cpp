// Catalog parse of 2 000 realistic main-channel configurations against QJsonDocument alone:  build-release/tests/bench_catalog

#include "account/subscription_catalog.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <benchmark/benchmark.h>

using namespace qor;

namespace {

constexpr int kConfigs = 2000;

QString hex(int seed, int length)
{
    QString out;
    quint32 x = quint32(seed) * 2654435761u + 12345u;
    while (out.size() < length) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out += QString::number(x, 16).rightJustified(8, QLatin1Char('0'));
    }
    return out.left(length);
}

QString uuid(int seed)
{
    const QString h = hex(seed, 32);
    return h.mid(0, 8) + u'-' + h.mid(8, 4) + u'-' + h.mid(12, 4) + u'-' + h.mid(16, 4) + u'-' + h.mid(20, 12);
}

// One proxy outbound per kind in turn: VLESS over REALITY, VMess over WebSocket with TLS, Trojan with TLS, Shadowsocks.
QString proxyOutbound(int i)
{
    const QString address = QStringLiteral("198.51.100.%1").arg(i % 250 + 1);
    const QString host = QStringLiteral("node%1.example.net").arg(i);
    const int port = 443 + i % 7;
    switch (i % 4) {
    case 0:
        return QStringLiteral(R"({"tag":"proxy","protocol":"vless","settings":{"vnext":[{"address":"%1","port":%2,"users":[{"id":"%3","encryption":"none","flow":"xtls-rprx-vision"}]}]},)"
                              R"("streamSettings":{"network":"tcp","security":"reality","realitySettings":{"serverName":"www.example.com","fingerprint":"chrome","publicKey":"%4","shortId":"%5","spiderX":"/"}}})")
            .arg(address).arg(port).arg(uuid(i), hex(i + 1, 43), hex(i + 2, 8));
    case 1:
        return QStringLiteral(R"({"tag":"proxy","protocol":"vmess","settings":{"vnext":[{"address":"%1","port":%2,"users":[{"id":"%3","alterId":0,"security":"auto"}]}]},)"
                              R"("streamSettings":{"network":"ws","security":"tls","tlsSettings":{"serverName":"%1","allowInsecure":false,"alpn":["h2","http/1.1"]},)"
                              R"("wsSettings":{"path":"/%4","headers":{"Host":"%1"}}}})")
            .arg(host).arg(port).arg(uuid(i), hex(i, 12));
    case 2:
        return QStringLiteral(R"({"tag":"proxy","protocol":"trojan","settings":{"servers":[{"address":"%1","port":%2,"password":"%3","level":0}]},)"
                              R"("streamSettings":{"network":"tcp","security":"tls","tlsSettings":{"serverName":"trojan%4.example.org","fingerprint":"firefox"}}})")
            .arg(address).arg(port).arg(hex(i, 24)).arg(i);
    default:
        return QStringLiteral(R"({"tag":"proxy","protocol":"shadowsocks","settings":{"servers":[{"address":"%1","port":%2,"method":"chacha20-ietf-poly1305","password":"%3","uot":true}]},)"
                              R"("streamSettings":{"network":"tcp"}})")
            .arg(address).arg(8388 + i % 5).arg(hex(i, 32));
    }
}

QString configText(int i)
{
    return QStringLiteral(R"({"log":{"loglevel":"warning"},"dns":{"servers":["1.1.1.1","8.8.8.8","localhost"]},)"
                          R"("inbounds":[{"tag":"socks-in","port":10808,"listen":"127.0.0.1","protocol":"socks","settings":{"udp":true},)"
                          R"("sniffing":{"enabled":true,"destOverride":["http","tls","quic"]}}],)"
                          R"("outbounds":[%1,{"tag":"direct","protocol":"freedom"},{"tag":"block","protocol":"blackhole"}],)"
                          R"("routing":{"domainStrategy":"IPIfNonMatch","rules":[{"type":"field","ip":["geoip:private"],"outboundTag":"direct"},)"
                          R"({"type":"field","domain":["geosite:category-ads-all"],"outboundTag":"block"},)"
                          R"({"type":"field","domain":["domain:example.ru","domain:example.su","regexp:.*\\.example\\.рф$","geosite:private"],"outboundTag":"direct"}]},)"
                          R"("policy":{"levels":{"0":{"handshake":4,"connIdle":300,"uplinkOnly":1,"downlinkOnly":1}},)"
                          R"("system":{"statsOutboundUplink":true,"statsOutboundDownlink":true}},"remarks":"Узел %2"})")
        .arg(proxyOutbound(i))
        .arg(i);
}

struct Fixture {
    QString listJson;
    QStringList configs;    // the balancer's, then the nodes'
    qint64 configBytes = 0; // the nodes' configurations
    Fixture()
    {
        QJsonArray list;
        for (int i = -1; i < kConfigs; ++i) {
            const QString text = configText(i);
            configs.append(text);
            configBytes += i < 0 ? 0 : text.toUtf8().size();
            list.append(QJsonObject{{"name", i < 0 ? SubscriptionCatalog::balancerName : QStringLiteral("Узел %1").arg(i)}, {"config", text}});
        }
        listJson = QString::fromUtf8(QJsonDocument(list).toJson(QJsonDocument::Compact));
    }
};

const Fixture &fixture()
{
    static const Fixture f;
    return f;
}

void BM_CatalogParse(benchmark::State &state)
{
    const Fixture &f = fixture();
    const SubscriptionCatalog::Parsed check = SubscriptionCatalog::parse(f.listJson);
    if (check.nodes.size() != kConfigs || !check.balancerConfig) {
        state.SkipWithError("fixture did not parse into 2000 nodes and a balancer");
        return;
    }
    for (auto _ : state) {
        SubscriptionCatalog::Parsed parsed = SubscriptionCatalog::parse(f.listJson);
        benchmark::DoNotOptimize(parsed);
    }
    state.counters["avgConfigBytes"] = double(f.configBytes) / kConfigs;
}

// The floor: decoding the list and each configuration once, nothing else.
void BM_DecodeOnly(benchmark::State &state)
{
    const Fixture &f = fixture();
    for (auto _ : state) {
        QJsonDocument list = QJsonDocument::fromJson(f.listJson.toUtf8());
        benchmark::DoNotOptimize(list);
        for (const QString &config : f.configs) {
            QJsonDocument document = QJsonDocument::fromJson(config.toUtf8());
            benchmark::DoNotOptimize(document);
        }
    }
}

} // namespace

BENCHMARK(BM_CatalogParse)->Unit(benchmark::kMillisecond)->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK(BM_DecodeOnly)->Unit(benchmark::kMillisecond)->Repetitions(9)->ReportAggregatesOnly(true);

BENCHMARK_MAIN();
