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
    return a.profileId == b.profileId && a.providerIdentifier == b.providerIdentifier && a.pid == b.pid
        && a.startTime == b.startTime && a.status == b.status && a.interfaceName == b.interfaceName;
}

} // namespace

// The inputs with which fuzzing once broke a reader (tests/fuzz/regressions/<target>/),
// fed to that reader again with the property the target checks. In the sanitizer build a
// relapse into undefined behaviour stops the test as well.
class TestFuzzRegressions : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void savedInputs_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QByteArray>("input");
        const QString root = QStringLiteral(QOR_SOURCE_DIR "/tests/fuzz/regressions");
        QVERIFY2(QFileInfo(root).isDir(), "tests/fuzz/regressions not found");
        int rows = 0;
        for (const QString &target : QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            const QDir folder(root + QLatin1Char('/') + target);
            for (const QString &name : folder.entryList(QDir::Files)) {
                QTest::addRow("%s/%s", qPrintable(target), qPrintable(name)) << target << readAll(folder.filePath(name));
                ++rows;
            }
        }
        QVERIFY(rows >= 2);
    }

    void savedInputs()
    {
        QFETCH(QString, target);
        QFETCH(QByteArray, input);
        const QJsonObject object = QJsonDocument::fromJson(input).object();

        if (target == u"fuzz_provider_state") {
            const auto state = ProviderState::parse(input);
            const QJsonValue status = object.value(QStringLiteral("status"));
            const bool statusIsOneOfSix = status.isDouble() && status.toDouble() >= 0 && status.toDouble() <= 5
                && status.toDouble() == double(int(status.toDouble()));
            if (!statusIsOneOfSix) {
                QVERIFY(!state);
                return;
            }
            QVERIFY(!state || sameState(*ProviderState::parse(state->toJson()), *state));
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
