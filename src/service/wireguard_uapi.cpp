#include "wireguard_uapi.h"

#include <algorithm>

namespace qor::service::uapi {

namespace {

void line(QByteArray &out, const char *key, const QByteArray &value)
{
    out += key;
    out += '=';
    out += value;
    out += '\n';
}

void line(QByteArray &out, const char *key, quint64 value)
{
    line(out, key, QByteArray::number(value));
}

QByteArray endpointText(const ResolvedEndpoint &endpoint)
{
    QHostAddress address = endpoint.address;
    // A v4-mapped result of a resolver is dialled as IPv4, like the routes expect.
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    if (mapped)
        address.setAddress(v4);
    const QByteArray host = address.toString().toLatin1();
    const QByteArray port = QByteArray::number(endpoint.port);
    if (address.protocol() == QAbstractSocket::IPv6Protocol)
        return '[' + host + "]:" + port;
    return host + ':' + port;
}

// Splits an answer into its "key=value" lines up to the empty line that ends it;
// absent when no complete "errno=" line has arrived or a line is malformed.
std::optional<QList<std::pair<QByteArray, QByteArray>>> answerLines(const QByteArray &answer)
{
    QList<std::pair<QByteArray, QByteArray>> lines;
    bool hasErrno = false;
    qsizetype start = 0;
    for (qsizetype end = answer.indexOf('\n'); end >= 0; start = end + 1, end = answer.indexOf('\n', start)) {
        const QByteArray text = answer.mid(start, end - start);
        if (text.isEmpty())
            break;
        const qsizetype equals = text.indexOf('=');
        if (equals <= 0)
            return std::nullopt;
        lines.append({text.left(equals), text.mid(equals + 1)});
        hasErrno = hasErrno || lines.last().first == "errno";
    }
    if (!hasErrno)
        return std::nullopt;
    return lines;
}

std::optional<quint64> number(const QByteArray &text)
{
    if (text.isEmpty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    bool ok = false;
    const quint64 value = text.toULongLong(&ok);
    return ok ? std::optional(value) : std::nullopt;
}

// wireguard-go writes the code negated ("errno=-22"), C engines as is; both mean EINVAL.
std::optional<int> errnoValue(const QByteArray &text)
{
    const auto n = number(text.startsWith('-') ? text.mid(1) : text);
    if (!n || *n > 4095)
        return std::nullopt;
    return int(*n);
}

} // namespace

QByteArray setRequest(const WgQuickConfig &config, const QList<ResolvedEndpoint> &endpoints, quint32 fwmark,
                      bool withAmnezia)
{
    QByteArray out = "set=1\n";
    line(out, "private_key", config.privateKey.toHex());
    if (config.listenPort)
        line(out, "listen_port", *config.listenPort);
    if (fwmark != 0)
        line(out, "fwmark", fwmark);
    if (withAmnezia) {
        const AmneziaParameters &a = config.amnezia;
        line(out, "jc", a.jc);
        line(out, "jmin", a.jmin);
        line(out, "jmax", a.jmax);
        line(out, "s1", a.s1);
        line(out, "s2", a.s2);
        line(out, "h1", a.h1);
        line(out, "h2", a.h2);
        line(out, "h3", a.h3);
        line(out, "h4", a.h4);
    }
    line(out, "replace_peers", "true");
    for (qsizetype i = 0; i < config.peers.size(); ++i) {
        const WgQuickPeer &peer = config.peers[i];
        line(out, "public_key", peer.publicKey.toHex());
        if (!peer.presharedKey.isEmpty())
            line(out, "preshared_key", peer.presharedKey.toHex());
        if (i < endpoints.size())
            line(out, "endpoint", endpointText(endpoints[i]));
        line(out, "persistent_keepalive_interval", peer.persistentKeepalive);
        line(out, "replace_allowed_ips", "true");
        for (const IpPrefix &prefix : peer.allowedIps)
            line(out, "allowed_ip", prefix.text().toLatin1());
    }
    out += '\n';
    return out;
}

QByteArray keepaliveRequest(const QByteArray &publicKey, int seconds)
{
    QByteArray out = "set=1\n";
    line(out, "public_key", publicKey.toHex());
    line(out, "persistent_keepalive_interval", seconds);
    out += '\n';
    return out;
}

QByteArray getRequest()
{
    return QByteArrayLiteral("get=1\n\n");
}

std::optional<DeviceStatus> parseGetAnswer(const QByteArray &answer)
{
    const auto lines = answerLines(answer);
    if (!lines)
        return std::nullopt;
    DeviceStatus status;
    for (const auto &[key, value] : *lines) {
        if (key == "errno") {
            const auto code = errnoValue(value);
            if (!code)
                return std::nullopt;
            status.error = *code;
            continue;
        }
        if (key != "rx_bytes" && key != "tx_bytes" && key != "last_handshake_time_sec")
            continue;
        const auto n = number(value);
        if (!n)
            return std::nullopt;
        if (key == "rx_bytes")
            status.receivedBytes += *n;
        else if (key == "tx_bytes")
            status.sentBytes += *n;
        else
            status.latestHandshake = std::max(status.latestHandshake, qint64(*n));
    }
    return status;
}

std::optional<int> parseSetAnswer(const QByteArray &answer)
{
    const auto lines = answerLines(answer);
    if (!lines)
        return std::nullopt;
    for (const auto &[key, value] : *lines) {
        if (key == "errno")
            return errnoValue(value);
    }
    return std::nullopt;
}

} // namespace qor::service::uapi
