#include "wg_quick_config.h"

#include <QRegularExpression>
#include <QSet>

namespace qor::service {

namespace {

constexpr qsizetype maxTextBytes = 64 * 1024;
constexpr qsizetype maxPeers = 64;
constexpr qsizetype maxAllowedIps = 1024;

QString tooLarge()
{
    return QStringLiteral("конфигурация слишком велика");
}

bool equalsName(QStringView key, const char *name)
{
    return key.compare(QLatin1StringView(name), Qt::CaseInsensitive) == 0;
}

// A key pasted as the wrong parameter's value would otherwise end up in an error
// the user may share, so such values are left out of the reason.
QString mention(QStringView value)
{
    static const QRegularExpression keyLike(QStringLiteral("^[A-Za-z0-9+/]{40,}={0,2}$"));
    if (value.size() > 80 || keyLike.match(value).hasMatch())
        return {};
    return QStringLiteral(" «%1»").arg(value);
}

// Names of unknown parameters are quoted only when they look like a name, not a key.
QString mentionName(QStringView name)
{
    static const QRegularExpression plainName(QStringLiteral("^[A-Za-z][A-Za-z0-9_]{0,23}$"));
    return plainName.match(name).hasMatch() ? QStringLiteral(" «%1»").arg(name) : QString();
}

// As wg's key_from_base64: exactly 44 characters, canonical padding, 32 bytes.
std::optional<QByteArray> decodeKey(QStringView text)
{
    if (text.size() != 44)
        return std::nullopt;
    const QByteArray latin = text.toLatin1();
    const auto result = QByteArray::fromBase64Encoding(latin, QByteArray::AbortOnBase64DecodingErrors);
    if (!result || result.decoded.size() != 32 || result.decoded.toBase64() != latin)
        return std::nullopt;
    return result.decoded;
}

std::optional<quint64> parseNumber(QStringView text, quint64 min, quint64 max)
{
    if (text.isEmpty() || text.size() > 10)
        return std::nullopt;
    quint64 value = 0;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        value = value * 10 + (c.unicode() - u'0');
    }
    if (value < min || value > max)
        return std::nullopt;
    return value;
}

// QHostAddress also takes inet_aton forms ("127.1", "010.0.0.1") and scope ids,
// which neither wg nor ip accept the same way; only plain literals pass.
std::optional<QHostAddress> parseAddress(QStringView text)
{
    static const QRegularExpression ipv4(QStringLiteral("^\\d{1,3}(\\.\\d{1,3}){3}$"));
    static const QRegularExpression ipv6(QStringLiteral("^[0-9A-Fa-f:.]+$"));
    const bool v6 = text.contains(u':');
    if (!(v6 ? ipv6 : ipv4).match(text).hasMatch())
        return std::nullopt;
    QHostAddress address;
    if (!address.setAddress(text.toString()))
        return std::nullopt;
    if (!v6 && address.toString() != text)
        return std::nullopt;
    return address;
}

std::optional<IpPrefix> parsePrefix(QStringView text)
{
    const qsizetype slash = text.indexOf(u'/');
    const auto address = parseAddress(slash < 0 ? text : text.left(slash));
    if (!address)
        return std::nullopt;
    const int full = address->protocol() == QAbstractSocket::IPv6Protocol ? 128 : 32;
    if (slash < 0)
        return IpPrefix{*address, full};
    const auto length = parseNumber(text.mid(slash + 1), 0, full);
    if (!length)
        return std::nullopt;
    return IpPrefix{*address, int(*length)};
}

IpPrefix network(IpPrefix prefix)
{
    if (prefix.isIPv6()) {
        Q_IPV6ADDR bytes = prefix.address.toIPv6Address();
        for (int bit = prefix.length; bit < 128; ++bit)
            bytes[bit / 8] &= quint8(~(0x80u >> (bit % 8)));
        prefix.address.setAddress(bytes);
    } else {
        const quint32 mask = prefix.length == 0 ? 0 : ~quint32(0) << (32 - prefix.length);
        prefix.address.setAddress(prefix.address.toIPv4Address() & mask);
    }
    return prefix;
}

// A DNS name as resolvers take it; an all-digit last label is a mistyped address.
bool isHostName(QStringView text)
{
    static const QRegularExpression label(QStringLiteral("^[A-Za-z0-9_]([A-Za-z0-9_-]{0,61}[A-Za-z0-9_])?$"));
    static const QRegularExpression digits(QStringLiteral("^\\d+$"));
    if (text.endsWith(u'.'))
        text.chop(1);
    if (text.isEmpty() || text.size() > 253)
        return false;
    const auto labels = text.split(u'.');
    for (const QStringView part : labels) {
        if (!label.match(part).hasMatch())
            return false;
    }
    return !digits.match(labels.last()).hasMatch();
}

// wg-quick splits lists on commas and whitespace alike.
QList<QStringView> listItems(QStringView value)
{
    static const QRegularExpression separators(QStringLiteral("[,\\s]+"));
    return value.split(separators, Qt::SkipEmptyParts);
}

std::optional<QString> parseEndpoint(QStringView text, WgQuickPeer &peer)
{
    const QString invalid = QStringLiteral("неверный Endpoint%1").arg(mention(text));
    QStringView host;
    QStringView port;
    if (text.startsWith(u'[')) {
        const qsizetype close = text.indexOf(u']');
        if (close < 0 || text.mid(close + 1, 1) != u":")
            return invalid;
        host = text.mid(1, close - 1);
        port = text.mid(close + 2);
        const auto address = parseAddress(host);
        if (!address || address->protocol() != QAbstractSocket::IPv6Protocol)
            return invalid;
    } else {
        const qsizetype colon = text.lastIndexOf(u':');
        if (colon < 0)
            return invalid;
        host = text.left(colon);
        port = text.mid(colon + 1);
        // An IPv6 literal needs brackets; without them the port is ambiguous.
        if (host.contains(u':') || (!parseAddress(host) && !isHostName(host)))
            return invalid;
    }
    const auto number = parseNumber(port, 1, 65535);
    if (!number)
        return invalid;
    peer.endpointHost = host.toString();
    peer.endpointPort = quint16(*number);
    return std::nullopt;
}

struct NumericField {
    const char *name;
    quint64 min, max;
    void (*store)(WgQuickConfig &, quint64);
};

const NumericField interfaceNumbers[] = {
    {"ListenPort", 0, 65535, [](WgQuickConfig &c, quint64 v) { c.listenPort = quint16(v); }},
    {"MTU", 576, 9000, [](WgQuickConfig &c, quint64 v) { c.mtu = int(v); }},
    {"Jc", 0, 128, [](WgQuickConfig &c, quint64 v) { c.amnezia.jc = int(v); }},
    {"Jmin", 0, 1280, [](WgQuickConfig &c, quint64 v) { c.amnezia.jmin = int(v); }},
    {"Jmax", 0, 1280, [](WgQuickConfig &c, quint64 v) { c.amnezia.jmax = int(v); }},
    {"S1", 0, 1280, [](WgQuickConfig &c, quint64 v) { c.amnezia.s1 = int(v); }},
    {"S2", 0, 1280, [](WgQuickConfig &c, quint64 v) { c.amnezia.s2 = int(v); }},
    {"H1", 0, 0xFFFFFFFF, [](WgQuickConfig &c, quint64 v) { c.amnezia.h1 = quint32(v); }},
    {"H2", 0, 0xFFFFFFFF, [](WgQuickConfig &c, quint64 v) { c.amnezia.h2 = quint32(v); }},
    {"H3", 0, 0xFFFFFFFF, [](WgQuickConfig &c, quint64 v) { c.amnezia.h3 = quint32(v); }},
    {"H4", 0, 0xFFFFFFFF, [](WgQuickConfig &c, quint64 v) { c.amnezia.h4 = quint32(v); }},
};

const char *const ignoredInterfaceKeys[] = {"Table", "FwMark", "PreUp", "PostUp", "PreDown", "PostDown", "SaveConfig"};

class Parser {
public:
    std::variant<WgQuickConfig, QString> run(const QString &text);

private:
    std::optional<QString> interfaceLine(QStringView key, QStringView value);
    std::optional<QString> peerLine(QStringView key, QStringView value);
    std::optional<QString> check() const;

    WgQuickConfig m_config;
    qsizetype m_allowedIps = 0;
};

std::variant<WgQuickConfig, QString> Parser::run(const QString &text)
{
    if (text.size() > maxTextBytes || text.toUtf8().size() > maxTextBytes)
        return tooLarge();
    QStringView rest(text);
    if (rest.startsWith(QChar(0xFEFF)))
        rest = rest.mid(1);

    enum class Section { None, Interface, Peer } section = Section::None;
    bool seenInterface = false;
    int number = 0;
    for (QStringView line : rest.split(u'\n')) {
        ++number;
        const qsizetype comment = line.indexOf(u'#');
        line = (comment < 0 ? line : line.left(comment)).trimmed();
        if (line.isEmpty())
            continue;
        if (line.startsWith(u'[')) {
            const QStringView name = line.endsWith(u']') ? line.sliced(1, line.size() - 2).trimmed() : QStringView();
            if (equalsName(name, "Interface")) {
                if (seenInterface)
                    return QStringLiteral("секция [Interface] указана дважды");
                seenInterface = true;
                section = Section::Interface;
            } else if (equalsName(name, "Peer")) {
                if (m_config.peers.size() == maxPeers)
                    return tooLarge();
                m_config.peers.append(WgQuickPeer{});
                section = Section::Peer;
            } else {
                return QStringLiteral("неизвестная секция%1").arg(mention(line));
            }
            continue;
        }
        if (section == Section::None)
            return QStringLiteral("строка вне секции");
        const qsizetype equals = line.indexOf(u'=');
        if (equals < 0)
            return QStringLiteral("строка %1 не вида «параметр = значение»").arg(number);
        const QStringView key = line.left(equals).trimmed();
        const QStringView value = line.mid(equals + 1).trimmed();
        const auto error = section == Section::Interface ? interfaceLine(key, value) : peerLine(key, value);
        if (error)
            return *error;
    }

    if (!seenInterface)
        return QStringLiteral("нет секции [Interface]");
    if (m_config.peers.isEmpty())
        return QStringLiteral("нет ни одной секции [Peer]");
    if (const auto error = check())
        return *error;
    return m_config;
}

std::optional<QString> Parser::interfaceLine(QStringView key, QStringView value)
{
    if (equalsName(key, "PrivateKey")) {
        const auto decoded = decodeKey(value);
        if (!decoded)
            return QStringLiteral("неверный ключ PrivateKey");
        m_config.privateKey = *decoded;
        return std::nullopt;
    }
    if (equalsName(key, "Address")) {
        for (const QStringView item : listItems(value)) {
            const auto prefix = parsePrefix(item);
            if (!prefix)
                return QStringLiteral("неверный адрес%1 в Address").arg(mention(item));
            m_config.addresses.append(*prefix);
        }
        return std::nullopt;
    }
    if (equalsName(key, "DNS")) {
        for (const QStringView item : listItems(value)) {
            if (const auto address = parseAddress(item))
                m_config.dnsServers.append(*address);
            else if (isHostName(item))
                m_config.dnsSearchDomains.append(item.toString());
            else
                return QStringLiteral("неверное значение%1 в DNS").arg(mention(item));
        }
        return std::nullopt;
    }
    for (const NumericField &field : interfaceNumbers) {
        if (!equalsName(key, field.name))
            continue;
        const auto number = parseNumber(value, field.min, field.max);
        if (!number)
            return QStringLiteral("неверное значение%1 параметра %2")
                .arg(mention(value), QLatin1StringView(field.name));
        field.store(m_config, *number);
        return std::nullopt;
    }
    for (const char *ignored : ignoredInterfaceKeys) {
        if (equalsName(key, ignored))
            return std::nullopt;
    }
    return QStringLiteral("неизвестный параметр%1 в секции [Interface]").arg(mentionName(key));
}

std::optional<QString> Parser::peerLine(QStringView key, QStringView value)
{
    WgQuickPeer &peer = m_config.peers.last();
    if (equalsName(key, "PublicKey") || equalsName(key, "PresharedKey")) {
        const bool isPublic = equalsName(key, "PublicKey");
        const auto decoded = decodeKey(value);
        if (!decoded)
            return isPublic ? QStringLiteral("неверный ключ PublicKey") : QStringLiteral("неверный ключ PresharedKey");
        (isPublic ? peer.publicKey : peer.presharedKey) = *decoded;
        return std::nullopt;
    }
    if (equalsName(key, "AllowedIPs")) {
        for (const QStringView item : listItems(value)) {
            const auto prefix = parsePrefix(item);
            if (!prefix)
                return QStringLiteral("неверный адрес%1 в AllowedIPs").arg(mention(item));
            if (++m_allowedIps > maxAllowedIps)
                return tooLarge();
            peer.allowedIps.append(network(*prefix));
        }
        return std::nullopt;
    }
    if (equalsName(key, "Endpoint"))
        return parseEndpoint(value, peer);
    if (equalsName(key, "PersistentKeepalive")) {
        if (value.compare(u"off", Qt::CaseInsensitive) == 0) {
            peer.persistentKeepalive = 0;
            return std::nullopt;
        }
        const auto seconds = parseNumber(value, 0, 65535);
        if (!seconds)
            return QStringLiteral("неверное значение%1 параметра PersistentKeepalive").arg(mention(value));
        peer.persistentKeepalive = int(*seconds);
        return std::nullopt;
    }
    return QStringLiteral("неизвестный параметр%1 в секции [Peer]").arg(mentionName(key));
}

std::optional<QString> Parser::check() const
{
    if (m_config.privateKey.isEmpty())
        return QStringLiteral("нет ключа PrivateKey");
    if (m_config.addresses.isEmpty())
        return QStringLiteral("нет адреса туннеля (Address)");
    const AmneziaParameters &a = m_config.amnezia;
    if (a.jc > 0 && a.jmin > a.jmax)
        return QStringLiteral("Jmin больше Jmax");
    QSet<QByteArray> publicKeys;
    for (const WgQuickPeer &peer : m_config.peers) {
        if (peer.publicKey.isEmpty())
            return QStringLiteral("у узла нет PublicKey");
        if (peer.endpointHost.isEmpty())
            return QStringLiteral("у узла нет Endpoint");
        // The engine would merge both into one peer, the later AllowedIPs replacing the earlier.
        if (publicKeys.contains(peer.publicKey))
            return QStringLiteral("два узла с одним PublicKey");
        publicKeys.insert(peer.publicKey);
    }
    return std::nullopt;
}

} // namespace

QString IpPrefix::text() const
{
    return address.toString() + QLatin1Char('/') + QString::number(length);
}

bool AmneziaParameters::isNeutral() const
{
    return *this == AmneziaParameters{};
}

bool WgQuickConfig::routesAllIPv4() const
{
    for (const WgQuickPeer &peer : peers) {
        for (const IpPrefix &prefix : peer.allowedIps) {
            if (!prefix.isIPv6() && prefix.isDefault())
                return true;
        }
    }
    return false;
}

bool WgQuickConfig::routesAllIPv6() const
{
    for (const WgQuickPeer &peer : peers) {
        for (const IpPrefix &prefix : peer.allowedIps) {
            if (prefix.isIPv6() && prefix.isDefault())
                return true;
        }
    }
    return false;
}

std::variant<WgQuickConfig, QString> WgQuickConfig::parse(const QString &text)
{
    return Parser().run(text);
}

} // namespace qor::service
