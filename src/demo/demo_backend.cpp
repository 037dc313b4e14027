#include "demo_backend.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTextStream>
#include <QTimeZone>
#include <QUuid>

#include <algorithm>

namespace qor::demo {

namespace {
Q_LOGGING_CATEGORY(lcDemoBackend, "com.qorvpn.connect.demo")

constexpr qint64 codeSlotMs = 10 * 60 * 1000;

bool isAsciiDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

const QString layoutFileName = QStringLiteral("demo-backend.json");

const QStringList nodeNames{
    QStringLiteral("Демо · Амстердам"), QStringLiteral("Демо · Франкфурт"), QStringLiteral("Демо · Хельсинки"),
    QStringLiteral("Демо · Варшава"),   QStringLiteral("Демо · Стамбул"),   QStringLiteral("Демо · Алматы"),
};

// A small round avatar with the letter Q.
const QByteArray avatarSvg = QByteArrayLiteral(
    "<svg xmlns='http://www.w3.org/2000/svg' width='64' height='64'><circle cx='32' cy='32' r='32' fill='#d9774b'/>"
    "<text x='32' y='42' font-size='30' text-anchor='middle' fill='#fff' font-family='sans-serif'>Q</text></svg>");

QByteArray randomBytes(int count)
{
    QByteArray bytes(count, Qt::Uninitialized);
    QRandomGenerator::system()->generate(reinterpret_cast<quint32 *>(bytes.data()),
                                         reinterpret_cast<quint32 *>(bytes.data() + count));
    return bytes;
}

QString isoMs(const QDateTime &moment)
{
    return moment.toUTC().toString(Qt::ISODateWithMs);
}

QJsonObject status(const char *text)
{
    return {{QStringLiteral("status"), QString::fromLatin1(text)}};
}

QJsonObject outboundConfig(const QString &remarks, quint16 port, const QString &userId)
{
    const QJsonObject server{{QStringLiteral("address"), QStringLiteral("127.0.0.1")},
                             {QStringLiteral("port"), int(port)},
                             {QStringLiteral("users"), QJsonArray{QJsonObject{{QStringLiteral("id"), userId},
                                                                              {QStringLiteral("encryption"), QStringLiteral("none")}}}}};
    const QJsonObject proxy{{QStringLiteral("protocol"), QStringLiteral("vless")},
                            {QStringLiteral("tag"), QStringLiteral("proxy")},
                            {QStringLiteral("settings"), QJsonObject{{QStringLiteral("vnext"), QJsonArray{server}}}},
                            {QStringLiteral("streamSettings"), QJsonObject{{QStringLiteral("network"), QStringLiteral("tcp")}}}};
    const QJsonObject direct{{QStringLiteral("protocol"), QStringLiteral("freedom")}, {QStringLiteral("tag"), QStringLiteral("direct")}};
    return {{QStringLiteral("remarks"), remarks}, {QStringLiteral("outbounds"), QJsonArray{proxy, direct}}};
}
} // namespace

DemoBackend::DemoBackend(Options options, QObject *parent)
    : QObject(parent), m_options(std::move(options))
{
    bool ok = false;
    const int window = qEnvironmentVariableIntValue("QOR_DEMO_COMPANY_WINDOW", &ok);
    if (ok && window >= 0)
        m_options.companyWindow = std::chrono::seconds(window);
    if (!m_options.announce) {
        m_options.announce = [](const QString &line) { QTextStream(stderr) << line << Qt::endl; };
    }
}

DemoBackend::~DemoBackend() = default;

bool DemoBackend::start()
{
    if (!loadOrCreateLayout())
        return false;
    if (!m_server.listen())
        return false;
    script();
    qCInfo(lcDemoBackend) << "demo backend on" << m_server.baseUrl().toString() << "web port" << m_network.webPort();
    return true;
}

bool DemoBackend::loadOrCreateLayout()
{
    const QString path = m_options.directory + QLatin1Char('/') + layoutFileName;
    DemoNetwork::Layout preferred;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        const QJsonObject stored = QJsonDocument::fromJson(file.readAll()).object();
        m_secret = QByteArray::fromBase64(stored.value(QStringLiteral("secret")).toString().toLatin1());
        for (const QJsonValue &port : stored.value(QStringLiteral("nodePorts")).toArray())
            preferred.nodePorts.append(quint16(port.toInt()));
        preferred.balancerPort = quint16(stored.value(QStringLiteral("balancerPort")).toInt());
        preferred.tavrinPort = quint16(stored.value(QStringLiteral("tavrinPort")).toInt());
        file.close();
    }
    const bool newSecret = m_secret.size() != 32;
    if (newSecret)
        m_secret = randomBytes(32);
    if (!preferred.isComplete())
        preferred = DemoNetwork::Layout{};
    if (!m_network.start(preferred))
        return false;

    const DemoNetwork::Layout layout = m_network.layout();
    if (!newSecret && layout.nodePorts == preferred.nodePorts && layout.balancerPort == preferred.balancerPort
        && layout.tavrinPort == preferred.tavrinPort)
        return true;
    QJsonArray ports;
    for (quint16 port : layout.nodePorts)
        ports.append(int(port));
    const QJsonObject stored{{QStringLiteral("format"), 1},
                             {QStringLiteral("secret"), QString::fromLatin1(m_secret.toBase64())},
                             {QStringLiteral("nodePorts"), ports},
                             {QStringLiteral("balancerPort"), int(layout.balancerPort)},
                             {QStringLiteral("tavrinPort"), int(layout.tavrinPort)}};
    QDir().mkpath(m_options.directory);
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    out.write(QJsonDocument(stored).toJson());
    return out.commit();
}

QString DemoBackend::apiBase() const
{
    return m_server.baseUrl().toString();
}

QList<TavrinEntries::Entry> DemoBackend::tavrinEntries() const
{
    QList<TavrinEntries::Entry> entries = TavrinEntries::all();
    for (TavrinEntries::Entry &entry : entries) {
        entry.host = QStringLiteral("127.0.0.1");
        entry.ip = QStringLiteral("127.0.0.1");
    }
    return entries;
}

QString DemoBackend::codeFor(const QString &email, const QDateTime &moment) const
{
    const qint64 slot = moment.toMSecsSinceEpoch() / codeSlotMs;
    const QByteArray mac = QMessageAuthenticationCode::hash(
        email.trimmed().toLower().toUtf8() + ':' + QByteArray::number(slot), m_secret, QCryptographicHash::Sha256);
    const quint32 value = (quint32(quint8(mac[0])) << 24) | (quint32(quint8(mac[1])) << 16)
        | (quint32(quint8(mac[2])) << 8) | quint32(quint8(mac[3]));
    return QStringLiteral("%1").arg(value % 1000000, 6, 10, QLatin1Char('0'));
}

void DemoBackend::script()
{
    m_server.setHandler(QStringLiteral("email/request"), [this](const RecordedRequest &r) { return requestCode(r); });
    m_server.setHandler(QStringLiteral("email/verify"), [this](const RecordedRequest &r) { return verifyCode(r); });
    m_server.setHandler(QStringLiteral("poll/"), [this](const RecordedRequest &r) { return poll(r); });
    m_server.setHandler(QStringLiteral("refresh/"), [this](const RecordedRequest &r) { return refresh(r); });
    m_server.setHandler(QStringLiteral("account/delete"), [this](const RecordedRequest &r) { return deleteAccount(r); });
}

ScriptedAnswer DemoBackend::requestCode(const RecordedRequest &request)
{
    static const QRegularExpression wellFormed(QStringLiteral("^[^@\\s]+@[^@\\s]+\\.[^@\\s]+$"));
    const QString email = request.jsonBody().value(QStringLiteral("email")).toString();
    if (!wellFormed.match(email.trimmed()).hasMatch())
        return ScriptedAnswer::json(status("invalid_email"), 400);
    m_options.announce(codeAnnouncement + codeFor(email, QDateTime::currentDateTimeUtc()));
    return ScriptedAnswer::json(status("sent"));
}

ScriptedAnswer DemoBackend::verifyCode(const RecordedRequest &request)
{
    const QJsonObject body = request.jsonBody();
    const QString email = body.value(QStringLiteral("email")).toString();
    const QString code = body.value(QStringLiteral("code")).toString().trimmed();
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (code != codeFor(email, now)) {
        if (code == codeFor(email, now.addMSecs(-codeSlotMs)))
            return ScriptedAnswer::json(status("expired"), 400);
        return ScriptedAnswer::json(status("invalid_code"), 400);
    }
    TokenInfo info{Account::Personal, {}};
    if (email.trimmed().compare(companyAddress, Qt::CaseInsensitive) == 0) {
        info.account = Account::Company;
        info.windowEnd = now.addSecs(m_options.companyWindow.count());
    }
    return ScriptedAnswer::json(sessionAnswer(info, newToken(info.account, info.windowEnd)));
}

ScriptedAnswer DemoBackend::poll(const RecordedRequest &request)
{
    const QString loginToken = request.path.mid(QStringLiteral("poll/").size());
    auto seen = m_pollsSeen.find(loginToken);
    if (seen == m_pollsSeen.end()) {
        seen = m_pollsSeen.insert(loginToken, QElapsedTimer());
        seen->start();
    }
    if (seen->elapsed() < m_options.telegramDelay.count())
        return ScriptedAnswer::json(status("pending"));
    m_pollsSeen.erase(seen);
    const TokenInfo info{Account::Personal, {}};
    return ScriptedAnswer::json(sessionAnswer(info, newToken(info.account, {})));
}

ScriptedAnswer DemoBackend::refresh(const RecordedRequest &request) const
{
    const auto info = parseToken(request.path.mid(QStringLiteral("refresh/").size()));
    if (!info)
        return ScriptedAnswer::json(status("invalid_session"), 401);
    return ScriptedAnswer::json(sessionAnswer(*info, std::nullopt));
}

ScriptedAnswer DemoBackend::deleteAccount(const RecordedRequest &request) const
{
    const auto info = parseToken(request.jsonBody().value(QStringLiteral("session_token")).toString());
    if (!info)
        return ScriptedAnswer::json(status("invalid_session"), 401);
    return ScriptedAnswer::json(status("ok"));
}

QString DemoBackend::newToken(Account account, const QDateTime &windowEnd) const
{
    const QString random = QString::fromLatin1(randomBytes(16).toHex());
    if (account == Account::Company)
        return QStringLiteral("demo-c-%1-%2").arg(windowEnd.toSecsSinceEpoch()).arg(random);
    return QStringLiteral("demo-p-") + random;
}

std::optional<DemoBackend::TokenInfo> DemoBackend::parseToken(const QString &token) const
{
    // "demo-p-<32 hex>" or "demo-c-<window end, 1–12 digits>-<32 hex>", checked by hand
    // so that a refresh does not load and compile PCRE.
    const auto isRandomPart = [](QStringView text) {
        return text.size() == 32
            && std::all_of(text.begin(), text.end(), [](QChar c) { return isAsciiDigit(c) || (c >= u'a' && c <= u'f'); });
    };
    if (token.startsWith(u"demo-p-") && isRandomPart(QStringView(token).mid(7)))
        return TokenInfo{Account::Personal, {}};
    if (!token.startsWith(u"demo-c-"))
        return std::nullopt;
    const QStringView rest = QStringView(token).mid(7);
    const qsizetype dash = rest.indexOf(u'-');
    const QStringView windowEnd = rest.left(std::max<qsizetype>(dash, 0));
    if (windowEnd.isEmpty() || windowEnd.size() > 12 || !std::all_of(windowEnd.begin(), windowEnd.end(), isAsciiDigit)
        || !isRandomPart(rest.mid(dash + 1)))
        return std::nullopt;
    return TokenInfo{Account::Company, QDateTime::fromSecsSinceEpoch(windowEnd.toLongLong(), Qt::UTC)};
}

QJsonObject DemoBackend::sessionAnswer(const TokenInfo &info, const std::optional<QString> &token) const
{
    const bool company = info.account == Account::Company;
    const auto derived = [this](const char *label) {
        return QMessageAuthenticationCode::hash(QByteArray(label), m_secret, QCryptographicHash::Sha256);
    };
    const DemoNetwork::Layout layout = m_network.layout();

    QJsonArray xray;
    const QString userId = QUuid::fromRfc4122(derived("user").left(16)).toString(QUuid::WithoutBraces);
    xray.append(outboundConfig(QStringLiteral("Qor AI Network"), layout.balancerPort, userId));
    for (qsizetype i = 0; i < layout.nodePorts.size(); ++i)
        xray.append(outboundConfig(nodeNames.value(i), layout.nodePorts.at(i), userId));

    QJsonArray reserve;
    for (int i = 1; i <= 2; ++i) {
        const QByteArray label = "reserve-" + QByteArray::number(i);
        const QString conf = QStringLiteral("[Interface]\nPrivateKey = %1\nAddress = 10.77.0.%2/32\nDNS = 10.77.0.1\n\n"
                                            "[Peer]\nPublicKey = %3\nAllowedIPs = 0.0.0.0/0, ::/0\nEndpoint = 127.0.0.1:%4\n")
                                 .arg(QString::fromLatin1(derived(label + "-private").toBase64()))
                                 .arg(i + 1)
                                 .arg(QString::fromLatin1(derived(label + "-public").toBase64()))
                                 .arg(layout.balancerPort);
        reserve.append(QJsonObject{{QStringLiteral("server"), QStringLiteral("Резерв · Демо %1").arg(i)},
                                   {QStringLiteral("host"), QStringLiteral("127.0.0.1")},
                                   {QStringLiteral("conf"), conf}});
    }

    QJsonObject answer{
        {QStringLiteral("status"), QStringLiteral("ok")},
        {QStringLiteral("username"), company ? QStringLiteral("demo_company") : QStringLiteral("demo")},
        {QStringLiteral("avatar_data_uri"), QStringLiteral("data:image/svg+xml;base64,") + QString::fromLatin1(avatarSvg.toBase64())},
        {QStringLiteral("subscription_url"), company ? QStringLiteral("https://sub.example.com/demo/company")
                                                     : QStringLiteral("https://sub.example.com/demo/personal")},
        {QStringLiteral("subscription_status"), QStringLiteral("active")},
        {QStringLiteral("expires_at"), isoMs(QDateTime(QDate::currentDate().addDays(30), QTime(0, 0), Qt::UTC))},
        {QStringLiteral("traffic_used_bytes"), qint64(3435973837)},
        {QStringLiteral("traffic_limit_bytes"), qint64(107374182400)},
        {QStringLiteral("xray_configs"), xray},
        {QStringLiteral("awg_conf"), QString::fromUtf8(QJsonDocument(reserve).toJson(QJsonDocument::Compact))},
        {QStringLiteral("tavrin_key"), QStringLiteral("demo-") + QString::fromLatin1(derived("tavrin").toHex().left(32))},
    };
    if (token)
        answer.insert(QStringLiteral("session_token"), *token);
    if (company) {
        const QJsonObject policy{{QStringLiteral("name"), QStringLiteral("Демо-политика")},
                                 {QStringLiteral("block_geosite"), QJsonArray{QStringLiteral("category-ads-all")}},
                                 {QStringLiteral("block_domains"), QJsonArray{QStringLiteral("ads.example.com")}},
                                 {QStringLiteral("allow_domains"), QJsonArray{}},
                                 {QStringLiteral("block_torrent"), true}};
        answer.insert(QStringLiteral("qor"),
                      QJsonObject{{QStringLiteral("company"), QStringLiteral("ООО «Демо»")},
                                  {QStringLiteral("reserve"), false},
                                  {QStringLiteral("warn_minutes"), 5},
                                  {QStringLiteral("session"), QJsonObject{{QStringLiteral("until"), isoMs(info.windowEnd)},
                                                                          {QStringLiteral("reason"), QStringLiteral("window")}}},
                                  {QStringLiteral("policy"), policy}});
    }
    return answer;
}

} // namespace qor::demo
