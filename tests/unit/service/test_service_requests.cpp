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
    bool authorized = false;
    bool challenge = false;
    bool dismissed = false;
    QString subjectKind, subjectName, action;
    uint flags = 0;

    QString introspect(const QString &) const override { return {}; }
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        const QDBusArgument subject = message.arguments().at(0).value<QDBusArgument>();
        subject.beginStructure();
        subject >> subjectKind;
        QVariantMap details;
        subject >> details;
        subject.endStructure();
        subjectName = details.value(QStringLiteral("name")).toString();
        action = message.arguments().at(1).toString();
        flags = message.arguments().at(3).toUInt();
        QDBusArgument result;
        result.beginStructure();
        result << authorized << challenge;
        QMap<QString, QString> resultDetails;
        if (dismissed)
            resultDetails.insert(QStringLiteral("polkit.dismissed"), QStringLiteral("true"));
        result << resultDetails;
        result.endStructure();
        connection.send(message.createReply(QVariant::fromValue(result)));
        return true;
    }
};

QString profileDocument(const QJsonObject &configuration, const QString &identifier = reserveProviderIdentifier(),
                        const QString &id = {})
{
    const QJsonObject profile{{"version", 1}, {"id", id}, {"localizedDescription", "Qor Connect Reserve"},
                              {"enabled", true},
                              {"protocol", QJsonObject{{"type", "tunnelProvider"}, {"providerBundleIdentifier", identifier},
                                                       {"serverAddress", "Qor Reserve"}, {"providerConfiguration", configuration}}},
                              {"onDemandEnabled", false}, {"onDemandRules", QJsonArray{}}};
    return QString::fromUtf8(QJsonDocument(profile).toJson(QJsonDocument::Compact));
}

Authorizer::Outcome checkNow(const Authorizer &authorizer, uint uid, bool interactive)
{
    auto task = authorizer.check(QStringLiteral(":1.42"), uid, interactive);
    return QCoro::waitFor(task);
}

} // namespace

class TestServiceRequests : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void profileDocuments_data()
    {
        QTest::addColumn<QString>("document");
        QTest::addColumn<QString>("error");
        const QJsonObject one{{"wgQuickConfigs", QJsonArray{"[Interface]"}}};
        QTest::newRow("reserve profile") << profileDocument(one) << QString();
        QTest::newRow("main profile") << profileDocument({{"configContent", "{}"}}, mainProviderIdentifier()) << QString();
        QTest::newRow("stored id") << profileDocument(one, reserveProviderIdentifier(), "0f8fad5b-d9cb-469f-a165-70867728950e") << QString();
        QTest::newRow("not JSON") << QStringLiteral("{") << QStringLiteral("не JSON-объект");
        QTest::newRow("another provider") << profileDocument(one, "org.example.tunnel") << QStringLiteral("неизвестный провайдер");
        QTest::newRow("id with a path") << profileDocument(one, reserveProviderIdentifier(), "../../etc/passwd") << QStringLiteral("идентификатор");
        QTest::newRow("configuration not text") << profileDocument({{"wgQuickConfigs", QJsonArray{5}}}) << QStringLiteral("неверная конфигурация");
        QTest::newRow("configurations not a list") << profileDocument({{"wgQuickConfigs", "x"}}) << QStringLiteral("не список");
        QJsonArray many;
        for (int i = 0; i <= request_validation::maxConfigurations; ++i)
            many.append("[Interface]");
        QTest::newRow("too many configurations") << profileDocument({{"wgQuickConfigs", many}}) << QStringLiteral("слишком много конфигураций");
        QTest::newRow("configuration too large")
            << profileDocument({{"wgQuickConfigs", QJsonArray{QString(request_validation::maxConfigurationBytes + 1, 'x')}}})
            << QStringLiteral("неверная конфигурация");
        QTest::newRow("document too large") << profileDocument({{"configContent", QString(1024 * 1024, 'x')}}, mainProviderIdentifier())
                                            << QStringLiteral("слишком большой");
    }

    void profileDocuments()
    {
        QFETCH(QString, document);
        QFETCH(QString, error);
        const auto checked = request_validation::profileDocument(document);
        const QString *refusal = std::get_if<QString>(&checked);
        if (error.isEmpty())
            QVERIFY2(!refusal, qPrintable(refusal ? *refusal : QString()));
        else
            QVERIFY2(refusal && refusal->contains(error), qPrintable(refusal ? *refusal : QStringLiteral("accepted")));
    }

    void authorisationRules_data()
    {
        QTest::addColumn<uint>("uid");
        QTest::addColumn<bool>("authorized");
        QTest::addColumn<bool>("challenge");
        QTest::addColumn<bool>("dismissed");
        QTest::addColumn<int>("outcome");
        QTest::newRow("root, whatever polkit says") << 0u << false << false << false << int(Authorizer::Outcome::Allowed);
        QTest::newRow("allowed user") << 1000u << true << false << false << int(Authorizer::Outcome::Allowed);
        QTest::newRow("authentication wanted") << 1000u << false << true << false << int(Authorizer::Outcome::NeedsAuthentication);
        QTest::newRow("dialog dismissed") << 1000u << false << false << true << int(Authorizer::Outcome::NeedsAuthentication);
        QTest::newRow("refused") << 1000u << false << false << false << int(Authorizer::Outcome::Denied);
    }

    void authorisationRules()
    {
        QFETCH(uint, uid);
        QFETCH(bool, authorized);
        QFETCH(bool, challenge);
        QFETCH(bool, dismissed);
        QFETCH(int, outcome);
        QDBusConnection authorityBus = QDBusConnection::connectToBus(qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"),
                                                                     QStringLiteral("authority"));
        QVERIFY(authorityBus.isConnected());
        FakeAuthority authority;
        authority.authorized = authorized;
        authority.challenge = challenge;
        authority.dismissed = dismissed;
        QVERIFY(authorityBus.registerVirtualObject(QStringLiteral("/org/freedesktop/PolicyKit1/Authority"), &authority));
        QVERIFY(authorityBus.registerService(QStringLiteral("org.freedesktop.PolicyKit1")));

        const Authorizer authorizer(QDBusConnection::sessionBus());
        QCOMPARE(int(checkNow(authorizer, uid, true)), outcome);
        if (uid != 0) {
            QCOMPARE(authority.subjectKind, QStringLiteral("system-bus-name"));
            QCOMPARE(authority.subjectName, QStringLiteral(":1.42"));
            QCOMPARE(authority.action, QStringLiteral("com.qorvpn.connect.manage-tunnels"));
            QCOMPARE(authority.flags, 1u); // the user may be asked
        }
        authorityBus.unregisterService(QStringLiteral("org.freedesktop.PolicyKit1"));
        authorityBus.unregisterObject(QStringLiteral("/org/freedesktop/PolicyKit1/Authority"));
        QDBusConnection::disconnectFromBus(QStringLiteral("authority"));
    }

    void withoutAnAuthorityOnlyRootIsAllowed()
    {
        const Authorizer authorizer(QDBusConnection::sessionBus());
        QCOMPARE(checkNow(authorizer, 0, false), Authorizer::Outcome::Allowed);
        QCOMPARE(checkNow(authorizer, 1000, false), Authorizer::Outcome::Denied);
    }
};

QTEST_GUILESS_MAIN(TestServiceRequests)
#include "test_service_requests.moc"
