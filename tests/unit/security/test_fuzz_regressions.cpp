#include "tunnel/platform/provider_state.h"
#include "tunnel/platform/vpn_profile.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace qor;

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// What a provider writes from a state must read back as that state.
bool sameState(const ProviderState &a, const ProviderState &b)
{
    return std::tie(a.profileId, a.providerIdentifier, a.pid, a.startTime, a.status, a.interfaceName)
        == std::tie(b.profileId, b.providerIdentifier, b.pid, b.startTime, b.status, b.interfaceName);
}

} // namespace

// Inputs with which fuzzing once broke a reader (tests/fuzz/regressions/<target>/), checked for the
// target's property again; in the sanitizer build undefined behaviour stops the test too.
class TestFuzzRegressions : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void savedInputs_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QByteArray>("input");
        const QDir root(QStringLiteral(QOR_SOURCE_DIR "/tests/fuzz/regressions"));
        int rows = 0;
        for (const QString &target : root.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            for (const QString &name : QDir(root.filePath(target)).entryList(QDir::Files)) {
                QTest::addRow("%s/%s", qPrintable(target), qPrintable(name)) << target << readAll(root.filePath(target + '/' + name));
                ++rows;
            }
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
            QVERIFY(statusIsOneOfSix ? !state || (again && sameState(*again, *state)) : !state);
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
