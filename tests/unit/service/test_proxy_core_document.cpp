#include "service/proxy_core_document.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace qor::service;

namespace {

const QString vlessDocument = QStringLiteral(R"({"log": {"loglevel": "warning"},
  "inbounds": [{"tag": "socks-in", "port": 10808, "listen": "127.0.0.1", "protocol": "socks", "settings": {"udp": true}}],
  "outbounds": [{"tag": "proxy", "protocol": "vless", "settings": {"vnext": [{"address": "edge.example.net", "port": 443,
                 "users": [{"id": "b831381d-6324-4d53-ad4f-8cda48b30811", "encryption": "none"}]}]},
     "streamSettings": {"network": "ws", "security": "tls", "tlsSettings": {"serverName": "edge.example.net"},
                        "wsSettings": {"path": "/ray"}, "sockopt": {"tcpFastOpen": true}}},
    {"tag": "direct", "protocol": "freedom", "settings": {}}, {"tag": "block", "protocol": "blackhole", "settings": {}}],
  "routing": {"domainStrategy": "AsIs", "rules": [{"type": "field", "ip": ["10.0.0.0/8"], "outboundTag": "direct"}]}})");

// Untagged default outbound, and a tag the service would otherwise use.
const QString vmessDocument = QStringLiteral(R"({"outbounds": [{"protocol": "vmess", "settings": {"vnext": [{"address": "203.0.113.7",
    "port": 8443, "users": [{"id": "5783a3e7-e373-51cd-8642-c83782b807c5", "alterId": 0, "security": "auto"}]}]}},
    {"tag": "qor-dns", "protocol": "freedom"}], "dns": {"servers": ["1.1.1.1"]},
  "routing": {"rules": [{"type": "field", "domain": ["domain:example.org"], "outboundTag": "qor-dns"}]}})");

const QVariantMap fullPolicy{
    {"allow_domains", QStringList{"Intranet.Corp.Example", "full:portal.corp.example"}},
    {"block_domains", QStringList{"*.casino.example", "keyword:tracker", " "}},
    {"block_geosite", QStringList{"category-ads-all", "geosite:category-porn"}},
    {"block_torrent", true}, {"doh", "https://dns.corp.example/dns-query"}, {"doh_host", "dns.corp.example"}, {"doh_ip", "10.1.2.3"}};

QString withOutbound(const QString &outbound, const QString &inbounds = "[]")
{
    return QStringLiteral(R"({"inbounds": %1, "outbounds": [%2]})").arg(inbounds, outbound);
}

const QString userId = R"("users": [{"id": "b831381d-6324-4d53-ad4f-8cda48b30811", "encryption": "none")";
const QString realityOutbound = R"({"protocol": "vless", "settings": {"vnext": [{"address": "r.example", "port": 443, )" + userId
    + R"(}]}]}, "streamSettings": {"network": "tcp", "security": "reality", "realitySettings": {"publicKey": "k", "shortId": "ab"}}})";
const QString visionOutbound = R"({"protocol": "vless", "settings": {"vnext": [{"address": "v.example", "port": 443, )" + userId
    + R"(, "flow": "xtls-rprx-vision"}]}]}, "streamSettings": {"security": "tls"}})";

QJsonObject parsed(const std::variant<QByteArray, QString> &result)
{
    if (const auto *reason = std::get_if<QString>(&result))
        qWarning("refused: %s", qPrintable(*reason));
    return QJsonDocument::fromJson(std::get_if<QByteArray>(&result) ? std::get<QByteArray>(result) : "").object();
}

QJsonValue json(const char *text) { return QJsonDocument::fromJson(QByteArray("[") + text + "]").array().first(); }

QStringList tagsOf(const QJsonArray &items, const char *key = "tag")
{
    QStringList tags;
    for (const QJsonValue &item : items)
        tags.append(item[key].toString());
    return tags;
}

} // namespace

class TestProxyCoreDocument : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Capture adds its inbound, a DNS outbound (tags the document took get a suffix),
    // the mark on every outbound and the port-53 rule; what the document had stays.
    void captureAdded_data()
    {
        QTest::addColumn<QString>("document");
        QTest::addColumn<QStringList>("outboundTags");
        QTest::addColumn<QStringList>("ruleTargets");
        QTest::addColumn<QJsonArray>("dnsServers");
        QTest::newRow("vless ws tls") << vlessDocument << QStringList{"proxy", "direct", "block", "qor-dns"} << QStringList{"qor-dns", "direct"}
                                      << QJsonArray{"8.8.8.8"};
        QTest::newRow("vmess, tags taken") << vmessDocument << QStringList{"qor-proxy", "qor-dns", "qor-dns-2"}
                                           << QStringList{"qor-dns-2", "qor-dns"} << QJsonArray{"1.1.1.1"};
    }
    void captureAdded()
    {
        QFETCH(QString, document);
        QFETCH(QStringList, outboundTags);
        const QJsonObject given = QJsonDocument::fromJson(document.toUtf8()).object();
        const QJsonObject result = parsed(coreDocument(document, ProxyCore::V2Ray, {}, {40000, 77, {}, {}}));

        const QJsonArray inbounds = result["inbounds"].toArray();
        QCOMPARE(inbounds.size(), given["inbounds"].toArray().size() + 1);
        QCOMPARE(inbounds.last(), json(R"({"tag": "qor-capture", "port": 40000, "listen": "0.0.0.0", "protocol": "dokodemo-door",
            "settings": {"network": "tcp,udp", "followRedirect": true}, "streamSettings": {"sockopt": {"tproxy": "tproxy", "mark": 77}},
            "sniffing": {"enabled": true, "destOverride": ["http", "tls"]}})"));

        const QJsonArray outbounds = result["outbounds"].toArray();
        QCOMPARE(tagsOf(outbounds), outboundTags);
        for (const QJsonValue &outbound : outbounds)
            QCOMPARE(outbound["streamSettings"]["sockopt"]["mark"].toInt(), 77);
        QCOMPARE(outbounds.last()["protocol"].toString(), "dns");
        QCOMPARE(outbounds.last()["proxySettings"]["tag"].toString(), outboundTags.first());
        const QJsonValue firstGiven = given["outbounds"][0];
        QCOMPARE(outbounds[0]["settings"], firstGiven["settings"]);
        QCOMPARE(outbounds[0]["streamSettings"]["network"], firstGiven["streamSettings"]["network"]);
        QCOMPARE(outbounds[0]["streamSettings"]["sockopt"]["tcpFastOpen"], firstGiven["streamSettings"]["sockopt"]["tcpFastOpen"]);

        const QJsonArray rules = result["routing"]["rules"].toArray();
        QTEST(tagsOf(rules, "outboundTag"), "ruleTargets");
        QCOMPARE(rules.first()["inboundTag"].toArray(), QJsonArray{"qor-capture"});
        QCOMPARE(rules.first()["port"].toString(), "53");
        QCOMPARE(rules.last(), given["routing"]["rules"].toArray().last());
        QTEST(result["dns"]["servers"].toArray(), "dnsServers");
    }

    void policyRules()
    {
        const CaptureSettings capture{52345, 51889, "/usr/share/v2ray/geosite.dat", {}};
        const QJsonObject result = parsed(coreDocument(vlessDocument, ProxyCore::Xray, fullPolicy, capture));
        QCOMPARE(result["routing"]["rules"], json(R"([
            {"type": "field", "inboundTag": ["qor-capture"], "port": "53", "outboundTag": "qor-dns"},
            {"type": "field", "domain": ["domain:intranet.corp.example", "full:portal.corp.example"], "outboundTag": "proxy"},
            {"type": "field", "domain": ["domain:casino.example", "keyword:tracker"], "outboundTag": "qor-block"},
            {"type": "field", "domain": ["geosite:category-ads-all", "geosite:category-porn"], "outboundTag": "qor-block"},
            {"type": "field", "protocol": ["bittorrent"], "outboundTag": "qor-block"},
            {"type": "field", "ip": ["10.0.0.0/8"], "outboundTag": "direct"}])"));
        QCOMPARE(result["routing"]["domainStrategy"].toString(), "AsIs");
        QCOMPARE(result["outbounds"].toArray().last()["protocol"].toString(), "blackhole");
        QCOMPARE(result["dns"], (QJsonObject{{"servers", QJsonArray{QJsonObject{{"address", "https://dns.corp.example/dns-query"}}}},
                                             {"hosts", QJsonObject{{"dns.corp.example", "10.1.2.3"}}}}));
    }

    // The core connects to the addresses the service looked up; the server still hears
    // its name. The core runs as root, so the document names no log files.
    void serversPinnedLogsDropped()
    {
        const QString document = QStringLiteral(R"({"log": {"loglevel": "info", "access": "/etc/motd"}, "outbounds": [
            {"protocol": "vless", "settings": {"vnext": [{"address": "n.example", "port": 443, "users": [{"id": "x"}]}]},
             "streamSettings": {"network": "ws", "security": "tls"}},
            {"protocol": "trojan", "settings": {"servers": [{"address": "t.example", "port": 443}]},
             "streamSettings": {"security": "tls", "tlsSettings": {"serverName": "front.example"}}}]})");
        CaptureSettings capture;
        capture.serverAddresses = {{"n.example", QHostAddress("192.0.2.7")}, {"t.example", QHostAddress("2001:db8::8")}};
        const QJsonObject result = parsed(coreDocument(document, ProxyCore::V2Ray, {}, capture));
        const QJsonArray outbounds = result["outbounds"].toArray();
        QCOMPARE(outbounds[0]["settings"]["vnext"][0]["address"].toString(), "192.0.2.7");
        QCOMPARE(outbounds[0]["streamSettings"]["tlsSettings"]["serverName"].toString(), "n.example");
        QCOMPARE(outbounds[0]["streamSettings"]["wsSettings"]["headers"]["Host"].toString(), "n.example");
        QCOMPARE(outbounds[1]["settings"]["servers"][0]["address"].toString(), "2001:db8::8");
        QCOMPARE(outbounds[1]["streamSettings"]["tlsSettings"]["serverName"].toString(), "front.example");
        QCOMPARE(result["log"].toObject(), (QJsonObject{{"loglevel", "info"}}));
    }

    // Why a document cannot run: on v2ray what only xray has, a broken document, company
    // rules without their database or incomplete, a taken capture port, no proxy at all.
    void refusals()
    {
        const QString needsXray = "не поддерживается ядром v2ray — установите xray";
        const QVariantMap none, geosite{{"block_geosite", QStringList{"category-ads-all"}}}, dohAlone{{"doh", "https://d.example/q"}};
        const auto xray = ProxyCore::Xray, v2ray = ProxyCore::V2Ray;
        const struct { QString document; ProxyCore core; QVariantMap policy; QString geositePath, reason; } rows[] = { // reason empty: accepted
            {withOutbound(realityOutbound), v2ray, none, "", needsXray}, {withOutbound(realityOutbound), xray, none, "", ""},
            {withOutbound(visionOutbound), v2ray, none, "", needsXray}, {withOutbound(visionOutbound), xray, none, "", ""},
            {withOutbound(R"({"protocol": "trojan", "streamSettings": {"network": "grpc"}})"), v2ray, none, "", "транспорт «grpc» " + needsXray},
            {withOutbound(R"({"protocol": "wireguard"})"), v2ray, none, "", "протокол «wireguard» " + needsXray},
            {R"({"outbounds": [)", xray, none, "", "повреждена"}, {"[]", xray, none, "", "повреждена"},
            {R"({"outbounds": []})", xray, none, "", "повреждена"}, {vlessDocument, xray, geosite, "", "установите пакет с geosite.dat"},
            {vlessDocument, xray, geosite, "/x/geosite.dat", ""},
            {withOutbound(R"({"protocol": "freedom"})", R"([{"port": "52000-53000"}])"), xray, none, "", "порт перехвата 52345 занят"},
            {withOutbound(R"({"protocol": "trojan", "settings": {"servers": [{"address": "t.example", "port": 70000}]}})"), xray, none, "",
             "вне диапазона 1–65535"},
            {withOutbound(R"({"protocol": "freedom"})"), xray, none, "", "нет исходящего соединения через прокси-сервер"},
            {vlessDocument, xray, dohAlone, "", "правила компании повреждены"}};
        for (const auto &row : rows) {
            CaptureSettings capture;
            capture.geositePath = row.geositePath;
            const auto result = coreDocument(row.document, row.core, row.policy, capture);
            const QString given = std::holds_alternative<QString>(result) ? std::get<QString>(result) : "accepted";
            QVERIFY2(row.reason.isEmpty() ? given == "accepted" : given.contains(row.reason), qPrintable(row.document.left(60) + ": " + given));
        }
    }

    // The documents made for the installed v2ray pass its own check.
    void v2rayAcceptsGenerated()
    {
        const QString v2ray = QStringLiteral("/usr/bin/v2ray");
        if (!QFile::exists(v2ray))
            QSKIP("v2ray is not installed");
        QVariantMap withoutGeosite = fullPolicy;
        withoutGeosite.remove("block_geosite"); // Debian ships no geosite.dat
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        for (const auto &[document, policy] : QList<std::pair<QString, QVariantMap>>{{vlessDocument, withoutGeosite}, {vmessDocument, {}}}) {
            const auto result = coreDocument(document, ProxyCore::V2Ray, policy, {});
            QFile file(dir.filePath("core.json"));
            QVERIFY(std::holds_alternative<QByteArray>(result) && file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            QVERIFY(file.write(std::get<QByteArray>(result)) > 0);
            file.close();
            QProcess process;
            process.setProcessChannelMode(QProcess::MergedChannels);
            process.start(v2ray, {"-test", "-config", file.fileName()});
            const bool finished = process.waitForFinished(20000);
            if (!finished) {
                process.kill();
                process.waitForFinished();
            }
            QVERIFY2(finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0, process.readAll().constData());
        }
    }
};

QTEST_GUILESS_MAIN(TestProxyCoreDocument)
#include "test_proxy_core_document.moc"
