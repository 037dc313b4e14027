// Inputs that once broke a reader under fuzzing (tests/fuzz/regressions/<target>/), checked for its property again (and UB under sanitizers).
#include "tunnel/platform/provider_state.h"
#include "tunnel/platform/vpn_profile.h"

#include <QDirIterator>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace qor;

class TestFuzzRegressions : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void savedInputs_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QByteArray>("input");
        QDirIterator files(QStringLiteral(QOR_SOURCE_DIR "/tests/fuzz/regressions"), QDir::Files, QDirIterator::Subdirectories);
        int rows = 0;
        for (; files.hasNext(); ++rows) {
            QFile file(files.next());
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QString target = files.fileInfo().dir().dirName();
            QTest::addRow("%s/%s", qPrintable(target), qPrintable(files.fileName())) << target << file.readAll();
        }
        QVERIFY2(rows >= 2, "tests/fuzz/regressions not found");
    }

    void savedInputs()
    {
        QFETCH(QString, target);
        QFETCH(QByteArray, input);
        const QJsonObject object = QJsonDocument::fromJson(input).object();

        if (target == u"fuzz_provider_state") {
            // Only a status of the six known values is read, and a state read back reads as itself.
            const auto state = ProviderState::parse(input);
            const double status = object.value("status").toDouble(-1);
            const bool statusIsOneOfSix = status >= 0 && status <= 5 && status == double(int(status));
            const auto again = state ? ProviderState::parse(state->toJson()) : std::nullopt;
            const auto fields = [](const ProviderState &s) {
                return std::tie(s.profileId, s.providerIdentifier, s.pid, s.startTime, s.status, s.interfaceName);
            };
            QVERIFY(statusIsOneOfSix ? !state || (again && fields(*again) == fields(*state)) : !state);
        } else if (target == u"fuzz_vpn_profile") {
            // An accepted profile survives a save and a load unchanged.
            const auto profile = VpnProfile::fromJson(object);
            const auto again = profile ? VpnProfile::fromJson(QJsonDocument::fromJson(QJsonDocument(profile->toJson()).toJson()).object())
                                       : std::nullopt;
            QCOMPARE(again, profile);
        } else {
            QFAIL(qPrintable(QStringLiteral("no reader for ") + target));
        }
    }
};

QTEST_GUILESS_MAIN(TestFuzzRegressions)
#include "test_fuzz_regressions.moc"
