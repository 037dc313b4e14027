// The application's side of the tunnel service: against a stand-in service on a
// private bus, every status it signals reaches the tunnel managers in order (a
// tunnel that comes up and drops at once is seen up, then down), and a service that
// goes away leaves no tunnel reading as up.

#include "tunnel/platform/service_profile_service.h"
#include "tunnel/platform/tunnel_service_bus.h"
#include "tunnel/provider_identifiers.h"

#include <QCoroTask>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QJsonDocument>
#include <QTest>

using namespace qor;
namespace bus = qor::tunnel_service_bus;

namespace {

const QString profileId = QStringLiteral("0f8fad5b-d9cb-469f-a165-70867728950e");

// Answers ListProfiles with one running reserve profile.
class StandInService final : public QDBusVirtualObject {
public:
    QString introspect(const QString &) const override { return {}; }
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        if (message.member() != QLatin1String("ListProfiles"))
            return false;
        VpnProfile profile;
        profile.id = profileId;
        profile.enabled = true;
        profile.protocol = TunnelProviderProtocol{reserveProviderIdentifier(), QStringLiteral("Qor Reserve"), {}};
        const QString document = QString::fromUtf8(QJsonDocument(profile.toJson()).toJson(QJsonDocument::Compact));
        connection.send(message.createReply({QStringList{document}, QVariant::fromValue(QList<int>{3}),
                                             QVariant::fromValue(QList<qulonglong>{5000}),
                                             QVariant::fromValue(QList<qulonglong>{700})}));
        return true;
    }
};

} // namespace

class TestServiceProfileClient : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void everyTransitionArrivesInOrder()
    {
        QDBusConnection serviceBus = QDBusConnection::connectToBus(qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"),
                                                                   QStringLiteral("service"));
        StandInService standIn;
        QVERIFY(serviceBus.registerVirtualObject(bus::objectPath, &standIn));
        QVERIFY(serviceBus.registerService(bus::serviceName));

        ServiceProfileService client(QDBusConnection::sessionBus());
        auto loading = client.loadAll();
        const QList<ProfileHandle> profiles = QCoro::waitFor(loading);
        QCOMPARE(profiles.size(), 1);
        const VpnProfile &profile = *profiles.first();
        QCOMPARE(client.status(profile), VpnStatus::Connected);
        // Counters since the tunnel came up, from the same answer.
        QCOMPARE(client.read().value(profileId), (InterfaceCounters{5000, 700}));

        QList<VpnStatus> seen;
        connect(&client, &ProfileService::statusChanged, this, [&](const QString &id) {
            if (id == profileId)
                seen.append(client.status(profile));
        });
        for (int status : {1, 2, 3, 1, 2, 3}) {
            QDBusMessage signal = QDBusMessage::createSignal(bus::objectPath, bus::interfaceName, QStringLiteral("StatusChanged"));
            signal << profileId << status;
            serviceBus.send(signal);
        }
        QTRY_COMPARE(seen.size(), 6);
        QCOMPARE(seen, (QList<VpnStatus>{VpnStatus::Disconnected, VpnStatus::Connecting, VpnStatus::Connected,
                                          VpnStatus::Disconnected, VpnStatus::Connecting, VpnStatus::Connected}));

        // The service ends: its tunnel is gone with it.
        serviceBus.unregisterService(bus::serviceName);
        QTRY_COMPARE(client.status(profile), VpnStatus::Disconnected);
        QCOMPARE(seen.last(), VpnStatus::Disconnected);
        QVERIFY(client.read().isEmpty());
        serviceBus.unregisterObject(bus::objectPath);
        QDBusConnection::disconnectFromBus(QStringLiteral("service"));
    }
};

QTEST_GUILESS_MAIN(TestServiceProfileClient)
#include "test_service_profile_client.moc"
