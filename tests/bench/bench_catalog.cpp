// Catalog parse of 2 000 realistic main-channel configurations against decoding the
// same texts with QJsonDocument alone (the outer list and every configuration).
//
//   build-release/tests/bench_catalog

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

QJsonObject proxyOutbound(int i)
{
    const QString address = QStringLiteral("198.51.100.%1").arg(i % 250 + 1);
    const int port = 443 + i % 7;
    switch (i % 4) {
    case 0: // VLESS over REALITY
        return QJsonObject{
            {QStringLiteral("tag"), QStringLiteral("proxy")},
            {QStringLiteral("protocol"), QStringLiteral("vless")},
            {QStringLiteral("settings"),
             QJsonObject{{QStringLiteral("vnext"),
                          QJsonArray{QJsonObject{{QStringLiteral("address"), address},
                                                 {QStringLiteral("port"), port},
                                                 {QStringLiteral("users"),
                                                  QJsonArray{QJsonObject{{QStringLiteral("id"), uuid(i)},
                                                                         {QStringLiteral("encryption"), QStringLiteral("none")},
                                                                         {QStringLiteral("flow"), QStringLiteral("xtls-rprx-vision")}}}}}}}}},
            {QStringLiteral("streamSettings"),
             QJsonObject{{QStringLiteral("network"), QStringLiteral("tcp")},
                         {QStringLiteral("security"), QStringLiteral("reality")},
                         {QStringLiteral("realitySettings"),
                          QJsonObject{{QStringLiteral("serverName"), QStringLiteral("www.example.com")},
                                      {QStringLiteral("fingerprint"), QStringLiteral("chrome")},
                                      {QStringLiteral("publicKey"), hex(i + 1, 43)},
                                      {QStringLiteral("shortId"), hex(i + 2, 8)},
                                      {QStringLiteral("spiderX"), QStringLiteral("/")}}}}}};
    case 1: // VMess over WebSocket with TLS
        return QJsonObject{
            {QStringLiteral("tag"), QStringLiteral("proxy")},
            {QStringLiteral("protocol"), QStringLiteral("vmess")},
            {QStringLiteral("settings"),
             QJsonObject{{QStringLiteral("vnext"),
                          QJsonArray{QJsonObject{{QStringLiteral("address"), QStringLiteral("node%1.example.net").arg(i)},
                                                 {QStringLiteral("port"), port},
                                                 {QStringLiteral("users"),
                                                  QJsonArray{QJsonObject{{QStringLiteral("id"), uuid(i)},
                                                                         {QStringLiteral("alterId"), 0},
                                                                         {QStringLiteral("security"), QStringLiteral("auto")}}}}}}}}},
            {QStringLiteral("streamSettings"),
             QJsonObject{{QStringLiteral("network"), QStringLiteral("ws")},
                         {QStringLiteral("security"), QStringLiteral("tls")},
                         {QStringLiteral("tlsSettings"),
                          QJsonObject{{QStringLiteral("serverName"), QStringLiteral("node%1.example.net").arg(i)},
                                      {QStringLiteral("allowInsecure"), false},
                                      {QStringLiteral("alpn"), QJsonArray{QStringLiteral("h2"), QStringLiteral("http/1.1")}}}},
                         {QStringLiteral("wsSettings"),
                          QJsonObject{{QStringLiteral("path"), QStringLiteral("/") + hex(i, 12)},
                                      {QStringLiteral("headers"),
                                       QJsonObject{{QStringLiteral("Host"), QStringLiteral("node%1.example.net").arg(i)}}}}}}}};
    case 2: // Trojan with TLS
        return QJsonObject{
            {QStringLiteral("tag"), QStringLiteral("proxy")},
            {QStringLiteral("protocol"), QStringLiteral("trojan")},
            {QStringLiteral("settings"),
             QJsonObject{{QStringLiteral("servers"),
                          QJsonArray{QJsonObject{{QStringLiteral("address"), address},
                                                 {QStringLiteral("port"), port},
                                                 {QStringLiteral("password"), hex(i, 24)},
                                                 {QStringLiteral("level"), 0}}}}}},
            {QStringLiteral("streamSettings"),
             QJsonObject{{QStringLiteral("network"), QStringLiteral("tcp")},
                         {QStringLiteral("security"), QStringLiteral("tls")},
                         {QStringLiteral("tlsSettings"),
                          QJsonObject{{QStringLiteral("serverName"), QStringLiteral("trojan%1.example.org").arg(i)},
                                      {QStringLiteral("fingerprint"), QStringLiteral("firefox")}}}}}};
    default: // Shadowsocks
        return QJsonObject{
            {QStringLiteral("tag"), QStringLiteral("proxy")},
            {QStringLiteral("protocol"), QStringLiteral("shadowsocks")},
            {QStringLiteral("settings"),
             QJsonObject{{QStringLiteral("servers"),
                          QJsonArray{QJsonObject{{QStringLiteral("address"), address},
                                                 {QStringLiteral("port"), 8388 + i % 5},
                                                 {QStringLiteral("method"), QStringLiteral("chacha20-ietf-poly1305")},
                                                 {QStringLiteral("password"), hex(i, 32)},
                                                 {QStringLiteral("uot"), true}}}}}},
            {QStringLiteral("streamSettings"), QJsonObject{{QStringLiteral("network"), QStringLiteral("tcp")}}}};
    }
}

QString configText(int i)
{
    const QJsonObject config{
        {QStringLiteral("log"), QJsonObject{{QStringLiteral("loglevel"), QStringLiteral("warning")}}},
        {QStringLiteral("dns"),
         QJsonObject{{QStringLiteral("servers"), QJsonArray{QStringLiteral("1.1.1.1"), QStringLiteral("8.8.8.8"),
                                                            QStringLiteral("localhost")}}}},
        {QStringLiteral("inbounds"),
         QJsonArray{QJsonObject{{QStringLiteral("tag"), QStringLiteral("socks-in")},
                                {QStringLiteral("port"), 10808},
                                {QStringLiteral("listen"), QStringLiteral("127.0.0.1")},
                                {QStringLiteral("protocol"), QStringLiteral("socks")},
                                {QStringLiteral("settings"), QJsonObject{{QStringLiteral("udp"), true}}},
                                {QStringLiteral("sniffing"),
                                 QJsonObject{{QStringLiteral("enabled"), true},
                                             {QStringLiteral("destOverride"),
                                              QJsonArray{QStringLiteral("http"), QStringLiteral("tls"), QStringLiteral("quic")}}}}}}},
        {QStringLiteral("outbounds"),
         QJsonArray{proxyOutbound(i),
                    QJsonObject{{QStringLiteral("tag"), QStringLiteral("direct")}, {QStringLiteral("protocol"), QStringLiteral("freedom")}},
                    QJsonObject{{QStringLiteral("tag"), QStringLiteral("block")}, {QStringLiteral("protocol"), QStringLiteral("blackhole")}}}},
        {QStringLiteral("routing"),
         QJsonObject{{QStringLiteral("domainStrategy"), QStringLiteral("IPIfNonMatch")},
                     {QStringLiteral("rules"),
                      QJsonArray{QJsonObject{{QStringLiteral("type"), QStringLiteral("field")},
                                             {QStringLiteral("ip"), QJsonArray{QStringLiteral("geoip:private")}},
                                             {QStringLiteral("outboundTag"), QStringLiteral("direct")}},
                                 QJsonObject{{QStringLiteral("type"), QStringLiteral("field")},
                                             {QStringLiteral("domain"), QJsonArray{QStringLiteral("geosite:category-ads-all")}},
                                             {QStringLiteral("outboundTag"), QStringLiteral("block")}},
                                 QJsonObject{{QStringLiteral("type"), QStringLiteral("field")},
                                             {QStringLiteral("domain"),
                                              QJsonArray{QStringLiteral("domain:example.ru"), QStringLiteral("domain:example.su"),
                                                         QStringLiteral("regexp:.*\\.example\\.рф$"), QStringLiteral("geosite:private")}},
                                             {QStringLiteral("outboundTag"), QStringLiteral("direct")}}}}}},
        {QStringLiteral("policy"),
         QJsonObject{{QStringLiteral("levels"),
                      QJsonObject{{QStringLiteral("0"), QJsonObject{{QStringLiteral("handshake"), 4},
                                                                    {QStringLiteral("connIdle"), 300},
                                                                    {QStringLiteral("uplinkOnly"), 1},
                                                                    {QStringLiteral("downlinkOnly"), 1}}}}},
                     {QStringLiteral("system"), QJsonObject{{QStringLiteral("statsOutboundUplink"), true},
                                                            {QStringLiteral("statsOutboundDownlink"), true}}}}},
        {QStringLiteral("remarks"), QStringLiteral("Узел %1").arg(i)}};
    return QString::fromUtf8(QJsonDocument(config).toJson(QJsonDocument::Compact));
}

struct Fixture {
    QString listJson;
    QStringList configs;
    qint64 configBytes = 0;

    Fixture()
    {
        QJsonArray list;
        list.append(QJsonObject{{QStringLiteral("name"), SubscriptionCatalog::balancerName},
                                {QStringLiteral("config"), configText(-1)}});
        for (int i = 0; i < kConfigs; ++i) {
            const QString text = configText(i);
            configs.append(text);
            configBytes += text.toUtf8().size();
            list.append(QJsonObject{{QStringLiteral("name"), QStringLiteral("Узел %1").arg(i)}, {QStringLiteral("config"), text}});
        }
        configs.prepend(configText(-1));
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
