// What the tunnel service accepts over the bus, and whom it lets bring a tunnel up:
// argument checks, and the authorisation rules against a fake polkit authority on a
// private bus.

#include "service/authorizer.h"
#include "service/request_validation.h"
#include "tunnel/provider_identifiers.h"

#include <QCoroTask>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace qor;
using namespace qor::service;

namespace {

// Answers CheckAuthorization as told and remembers what it was asked.
class FakeAuthority final : public QDBusVirtualObject {
public:
    struct { bool authorized, challenge, dismissed; } answer{};
    QStringList asked; // subject kind, subject name, action, flags

    QString introspect(const QString &) const override { return {}; }
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        const QDBusArgument subject = message.arguments().at(0).value<QDBusArgument>();
        QString kind;
        QVariantMap details;
        subject.beginStructure();
        subject >> kind >> details;
        subject.endStructure();
        asked = {kind, details.value("name").toString(), message.arguments().at(1).toString(), QString::number(message.arguments().at(3).toUInt())};
        QDBusArgument result;
        result.beginStructure();
        result << answer.authorized << answer.challenge;
        result << (answer.dismissed ? QMap<QString, QString>{{"polkit.dismissed", "true"}} : QMap<QString, QString>{});
        result.endStructure();
        connection.send(message.createReply(QVariant::fromValue(result)));
        return true;
    }
};

QString profileDocument(const QJsonObject &configuration, const QString &identifier = reserveProviderIdentifier(),
                        const QString &id = {})
{
    const QJsonObject protocol{{"type", "tunnelProvider"}, {"providerBundleIdentifier", identifier}, {"serverAddress", "Qor Reserve"},
                               {"providerConfiguration", configuration}};
    return QJsonDocument(QJsonObject{{"version", 1}, {"id", id}, {"localizedDescription", "Qor Connect Reserve"}, {"enabled", true},
                                     {"protocol", protocol}, {"onDemandEnabled", false}, {"onDemandRules", QJsonArray{}}})
        .toJson(QJsonDocument::Compact);
}

Authorizer::Outcome checkNow(const Authorizer &authorizer, uint uid, bool interactive)
{
    auto task = authorizer.check(":1.42", uid, interactive);
    return QCoro::waitFor(task);
}

} // namespace

class TestServiceRequests : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void profileDocuments()
    {
        const QJsonObject one{{"wgQuickConfigs", QJsonArray{"[Interface]"}}};
        QJsonArray many;
        for (int i = 0; i <= request_validation::maxConfigurations; ++i)
            many.append("[Interface]");
        const std::pair<QString, QString> rows[] = { // document, a part of the refusal (empty: accepted)
            {profileDocument(one), ""}, {profileDocument({{"configContent", "{}"}}, mainProviderIdentifier()), ""},
            {profileDocument(one, reserveProviderIdentifier(), "0f8fad5b-d9cb-469f-a165-70867728950e"), ""}, {"{", "не JSON-объект"},
            {profileDocument(one, "org.example.tunnel"), "неизвестный провайдер"},
            {profileDocument(one, reserveProviderIdentifier(), "../../etc/passwd"), "идентификатор"},
            {profileDocument({{"wgQuickConfigs", QJsonArray{5}}}), "неверная конфигурация"},
            {profileDocument({{"wgQuickConfigs", "x"}}), "не список"}, {profileDocument({{"wgQuickConfigs", many}}), "слишком много конфигураций"},
            {profileDocument({{"wgQuickConfigs", QJsonArray{QString(request_validation::maxConfigurationBytes + 1, 'x')}}}), "неверная конфигурация"},
            {profileDocument({{"configContent", QString(1024 * 1024, 'x')}}, mainProviderIdentifier()), "слишком большой"}};
        for (const auto &[document, error] : rows) {
            const auto checked = request_validation::profileDocument(document);
            const QString refusal = checked.index() == 1 ? std::get<QString>(checked) : "accepted";
            QVERIFY2(error.isEmpty() ? refusal == "accepted" : refusal.contains(error), qPrintable(refusal));
        }
    }

    // Root is allowed without asking; anyone else as polkit answers (a dismissed dialog
    // may still be answered later), and with no authority on the bus, refused.
    void authorisationRules()
    {
        const Authorizer authorizer(QDBusConnection::sessionBus());
        QDBusConnection authorityBus = QDBusConnection::connectToBus(qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"), "authority");
        FakeAuthority authority;
        QVERIFY(authorityBus.registerVirtualObject("/org/freedesktop/PolicyKit1/Authority", &authority));
        QVERIFY(authorityBus.registerService("org.freedesktop.PolicyKit1"));
        using enum Authorizer::Outcome;
        const struct { const char *name; uint uid; bool authorized, challenge, dismissed; Authorizer::Outcome outcome; } rows[] = {
            {"root", 0, false, false, false, Allowed}, {"allowed user", 1000, true, false, false, Allowed},
            {"authentication wanted", 1000, false, true, false, NeedsAuthentication},
            {"dialog dismissed", 1000, false, false, true, NeedsAuthentication}, {"refused", 1000, false, false, false, Denied}};
        for (const auto &row : rows) {
            authority.answer = {row.authorized, row.challenge, row.dismissed};
            authority.asked.clear();
            QVERIFY2(checkNow(authorizer, row.uid, true) == row.outcome, row.name);
            const QStringList asked{"system-bus-name", ":1.42", "com.qorvpn.connect.manage-tunnels", "1"}; // flag 1: the user may be asked
            QCOMPARE(authority.asked, row.uid == 0 ? QStringList() : asked);
        }
        authorityBus.unregisterService("org.freedesktop.PolicyKit1");
        authorityBus.unregisterObject("/org/freedesktop/PolicyKit1/Authority");
        QDBusConnection::disconnectFromBus("authority");
        QCOMPARE(checkNow(authorizer, 0, false), Allowed);
        QCOMPARE(checkNow(authorizer, 1000, false), Denied);
    }
};

QTEST_GUILESS_MAIN(TestServiceRequests)
#include "test_service_requests.moc"
