#include "subscription_catalog.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <limits>

namespace qor::SubscriptionCatalog {

namespace {

const QLatin1String kName("name");
const QLatin1String kConfig("config");
const QLatin1String kConf("conf");
const QLatin1String kServer("server");
const QLatin1String kHost("host");
const QLatin1String kOutbounds("outbounds");
const QLatin1String kProtocol("protocol");
const QLatin1String kSettings("settings");
const QLatin1String kVnext("vnext");
const QLatin1String kServers("servers");
const QLatin1String kAddress("address");
const QLatin1String kPort("port");

constexpr quint16 kDefaultPort = 443;

bool isNonProxyProtocol(const QString &protocol)
{
    // Full lower-casing, not case folding: "dnſ" must not pass for "dns".
    const QString p = protocol.toLower();
    return p == QLatin1String("freedom") || p == QLatin1String("blackhole") || p == QLatin1String("dns");
}

// A JSON number with an integral value that fits in 64 bits; 443.5 and "443" are not ports.
std::optional<qint64> jsonInteger(const QJsonValue &value)
{
    if (!value.isDouble())
        return std::nullopt;
    constexpr qint64 sentinel = std::numeric_limits<qint64>::min();
    const qint64 n = value.toInteger(sentinel);
    if (n == sentinel && value.toInteger(0) == 0)
        return std::nullopt;
    return n;
}

std::optional<QString> addressAndPort(const QJsonObject &object)
{
    const QJsonValue address = object.value(kAddress);
    if (!address.isString())
        return std::nullopt;
    const std::optional<qint64> port = jsonInteger(object.value(kPort));
    if (!port)
        return std::nullopt;
    return address.toString() + QLatin1Char(':') + QString::number(*port);
}

std::optional<QString> firstServerOf(const QJsonObject &settings, QLatin1String listKey)
{
    const QJsonValue list = settings.value(listKey);
    if (!list.isArray())
        return std::nullopt;
    const QJsonArray servers = list.toArray();
    if (servers.isEmpty())
        return std::nullopt;
    const QJsonValue first = servers.at(0);
    if (!first.isObject())
        return std::nullopt;
    return addressAndPort(first.toObject());
}

std::optional<QString> endpointOf(const QJsonObject &config)
{
    const QJsonValue outboundsValue = config.value(kOutbounds);
    if (!outboundsValue.isArray())
        return std::nullopt;
    const QJsonArray outbounds = outboundsValue.toArray();
    // The list is taken as a whole: one element that is not an object makes it unusable.
    for (const QJsonValue &outbound : outbounds) {
        if (!outbound.isObject())
            return std::nullopt;
    }
    for (const QJsonValue &outboundValue : outbounds) {
        const QJsonObject outbound = outboundValue.toObject();
        if (isNonProxyProtocol(outbound.value(kProtocol).toString()))
            continue;
        const QJsonValue settingsValue = outbound.value(kSettings);
        if (!settingsValue.isObject())
            continue;
        const QJsonObject settings = settingsValue.toObject();
        if (auto found = firstServerOf(settings, kVnext))
            return found;
        if (auto found = firstServerOf(settings, kServers))
            return found;
        if (auto found = addressAndPort(settings))
            return found;
    }
    return std::nullopt;
}

std::optional<QJsonArray> decodeArray(const QString &json)
{
    const QJsonDocument document = QJsonDocument::fromJson(json.toUtf8());
    if (!document.isArray())
        return std::nullopt;
    return document.array();
}

bool hasStrings(const QJsonObject &object, std::initializer_list<QLatin1String> keys)
{
    for (QLatin1String key : keys) {
        if (!object.value(key).isString())
            return false;
    }
    return true;
}

} // namespace

Parsed parse(const QString &xrayConfigsJSON)
{
    const std::optional<QJsonArray> entries = decodeArray(xrayConfigsJSON);
    if (!entries)
        return {};
    // One pass: a malformed entry anywhere voids the whole list, so the work done
    // for earlier entries is simply dropped then.
    Parsed parsed;
    parsed.nodes.reserve(entries->size());
    for (const QJsonValue &entryValue : *entries) {
        if (!entryValue.isObject())
            return {};
        const QJsonObject entry = entryValue.toObject();
        const QJsonValue name = entry.value(kName);
        const QJsonValue config = entry.value(kConfig);
        if (!name.isString() || !config.isString())
            return {};
        QString configText = config.toString();
        if (name.toString() == balancerName) {
            parsed.balancerConfig = std::move(configText);
            continue;
        }
        if (std::optional<QString> found = endpoint(configText))
            parsed.nodes.append(DirectNode{std::move(*found), std::move(configText)});
    }
    return parsed;
}

std::optional<QString> endpoint(const QString &configJSON)
{
    const QJsonDocument document = QJsonDocument::fromJson(configJSON.toUtf8());
    if (!document.isObject())
        return std::nullopt;
    return endpointOf(document.object());
}

QStringList reserveConfigs(const QString &awgConfigsJSON)
{
    const std::optional<QJsonArray> entries = decodeArray(awgConfigsJSON);
    if (!entries)
        return {};
    QStringList configs;
    for (const QJsonValue &entryValue : *entries) {
        if (!entryValue.isObject())
            return {};
        const QJsonObject entry = entryValue.toObject();
        if (!hasStrings(entry, {kServer, kHost, kConf}))
            return {};
        QString conf = entry.value(kConf).toString();
        if (!conf.isEmpty())
            configs.append(std::move(conf));
    }
    return configs;
}

QString host(const QString &endpoint)
{
    // The port follows the last colon, so an IPv6 address keeps its own colons.
    const qsizetype colon = endpoint.lastIndexOf(QLatin1Char(':'));
    const QStringView text = QStringView(endpoint).left(colon < 0 ? endpoint.size() : colon);
    if (text.size() >= 2 && text.startsWith(QLatin1Char('[')) && text.endsWith(QLatin1Char(']')))
        return text.mid(1, text.size() - 2).toString();
    return text.toString();
}

quint16 port(const QString &endpoint)
{
    const qsizetype colon = endpoint.lastIndexOf(QLatin1Char(':'));
    if (colon < 0)
        return kDefaultPort;
    // Decimal digits with one optional sign and nothing else (no blanks, no base
    // prefix); "-0" is zero, any other negative value is out of range.
    const QStringView text = QStringView(endpoint).mid(colon + 1);
    qsizetype i = 0;
    bool negative = false;
    if (text.startsWith(QLatin1Char('+')) || text.startsWith(QLatin1Char('-'))) {
        negative = text.front() == QLatin1Char('-');
        i = 1;
    }
    if (i == text.size())
        return kDefaultPort;
    quint32 value = 0;
    for (; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c < u'0' || c > u'9')
            return kDefaultPort;
        value = value * 10 + (c - u'0');
        if (value > std::numeric_limits<quint16>::max())
            return kDefaultPort;
    }
    if (negative && value != 0)
        return kDefaultPort;
    return static_cast<quint16>(value);
}

QString nodeDisplayLabel(const QString &endpoint)
{
    // 32-bit FNV-1a over Unicode scalar values: a surrogate pair is one step, and an
    // unpaired surrogate counts as U+FFFD, the scalar it stands for once decoded.
    quint32 h = 2166136261u;
    const qsizetype size = endpoint.size();
    for (qsizetype i = 0; i < size; ++i) {
        const QChar c = endpoint.at(i);
        char32_t scalar = c.unicode();
        if (c.isHighSurrogate() && i + 1 < size && endpoint.at(i + 1).isLowSurrogate()) {
            scalar = QChar::surrogateToUcs4(c, endpoint.at(i + 1));
            ++i;
        } else if (c.isSurrogate()) {
            scalar = QChar::ReplacementCharacter;
        }
        h = (h ^ scalar) * 16777619u;
    }
    return QStringLiteral("Узел ") + QString::number(h % 9000 + 1000);
}

} // namespace qor::SubscriptionCatalog
