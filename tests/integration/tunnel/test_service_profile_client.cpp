// The application's side of the tunnel service: against a stand-in service on a private
// bus, every status it signals reaches the client in order (a tunnel that comes up and
// drops at once is seen up, then down), and a service that goes away leaves no tunnel up.

#include "tunnel/platform/service_profile_service.h"
#include "tunnel/platform/tunnel_service_bus.h"
#include "tunnel/provider_identifiers.h"

#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QJsonDocument>
#include <QTest>

using namespace qor;
namespace bus = qor::tunnel_service_bus;

namespace {

const QString profileId = "0f8fad5b-d9cb-469f-a165-70867728950e";

// Answers ListProfiles with one running reserve profile and its counters.
class StandInService final : public QDBusVirtualObject {
public:
    QString introspect(const QString &) const override { return {}; }
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        if (message.member() != "ListProfiles")
            return false;
        VpnProfile profile;
        profile.id = profileId;
        profile.enabled = true;
        profile.protocol = TunnelProviderProtocol{reserveProviderIdentifier(), "Qor Reserve", {}};
        connection.send(message.createReply({QStringList{QJsonDocument(profile.toJson()).toJson(QJsonDocument::Compact)},
                                             QVariant::fromValue(QList<int>{3}), QVariant::fromValue(QList<qulonglong>{5000}),
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
        QDBusConnection serviceBus = QDBusConnection::connectToBus(qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"), "service");
        StandInService standIn;
        QVERIFY(serviceBus.registerVirtualObject(bus::objectPath, &standIn));
        QVERIFY(serviceBus.registerService(bus::serviceName));

        ServiceProfileService client(QDBusConnection::sessionBus());
        auto loading = client.loadAll();
        const QList<ProfileHandle> profiles = QCoro::waitFor(loading);
        QCOMPARE(profiles.size(), 1);
        const VpnProfile &profile = *profiles.first();
        QCOMPARE(client.status(profile), VpnStatus::Connected);
        QCOMPARE(client.read().value(profileId), (InterfaceCounters{5000, 700})); // from the same answer

        QList<VpnStatus> seen;
        connect(&client, &ProfileService::statusChanged, this, [&](const QString &id) {
            if (id == profileId)
                seen.append(client.status(profile));
        });
        for (int status : {1, 2, 3, 1, 2, 3}) {
            QDBusMessage signal = QDBusMessage::createSignal(bus::objectPath, bus::interfaceName, "StatusChanged");
            serviceBus.send(signal << profileId << status);
        }
        QTRY_COMPARE(seen.size(), 6);
        QCOMPARE(seen, (QList<VpnStatus>{VpnStatus::Disconnected, VpnStatus::Connecting, VpnStatus::Connected, VpnStatus::Disconnected,
                                          VpnStatus::Connecting, VpnStatus::Connected}));

        // The service ends: its tunnel is gone with it.
        serviceBus.unregisterService(bus::serviceName);
        QTRY_COMPARE(client.status(profile), VpnStatus::Disconnected);
        QCOMPARE(seen.last(), VpnStatus::Disconnected);
        QVERIFY(client.read().isEmpty());
        serviceBus.unregisterObject(bus::objectPath);
        QDBusConnection::disconnectFromBus("service");
    }
};

QTEST_GUILESS_MAIN(TestServiceProfileClient)
#include "test_service_profile_client.moc"
