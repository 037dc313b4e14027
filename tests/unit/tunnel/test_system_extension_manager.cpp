#include "manual_clock.h"
#include "task_outcome.h"
#include "tunnel/platform/bundle_extension_activator.h"
#include "fake_extension_activator.h"
#include "tunnel/platform/private_file.h"
#include "tunnel/system_extension_manager.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTest>

using namespace qor;
using Result = SystemExtensionManager::ActivationResult;
using Outcome = FakeExtensionActivator::Outcome;

namespace {

const QString mainId = QStringLiteral("com.qorvpn.connect.mac.tunnel");
const QString reserveId = QStringLiteral("com.qorvpn.connect.mac.reserve");

QString plist(const QString &identifierElement)
{
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
                          "<key>CFBundleName</key><string>x</string>\n<key>CFBundleIdentifier</key>%1\n</dict>\n</plist>\n")
        .arg(identifierElement);
}

// A bundle tree in the scratch folder, pointed at through QOR_BUNDLE_DIR.
QString makeBundle(const QString &name)
{
    const QString root = qEnvironmentVariable("QOR_TEST_SCRATCH") + QStringLiteral("/bundles/") + name;
    QDir(root).removeRecursively();
    QDir().mkpath(root + QStringLiteral("/Contents"));
    qputenv("QOR_BUNDLE_DIR", root.toUtf8());
    return root + QStringLiteral("/Contents/Library/SystemExtensions");
}

void addExtension(const QString &folder, const QString &name, const std::optional<QString> &plistText)
{
    QDir().mkpath(folder + QLatin1Char('/') + name + QStringLiteral("/Contents"));
    if (plistText)
        writePrivateFile(folder + QLatin1Char('/') + name + QStringLiteral("/Contents/Info.plist"), plistText->toUtf8());
}

} // namespace

class TestSystemExtensionManager : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void outcomes_data()
    {
        QTest::addColumn<int>("outcome");
        QTest::addColumn<int>("expected"); // -1: ActivationError
        QTest::newRow("finished") << int(Outcome::Finish) << int(Result::Activated);
        QTest::newRow("needs approval") << int(Outcome::NeedApproval) << int(Result::NeedsUserApproval);
        QTest::newRow("failed") << int(Outcome::Fail) << -1;
    }

    void outcomes()
    {
        QFETCH(int, outcome);
        QFETCH(int, expected);
        makeBundle(QStringLiteral("outcomes"));
        FakeExtensionActivator activator;
        activator.setAutomaticActivationOutcome(Outcome(outcome));
        SystemExtensionManager manager(activator);
        auto result = track(manager.activate(mainId));
        QVERIFY(!result->done); // answered later, never inside the call
        ManualClock::drainEvents();
        QVERIFY(result->done);
        QCOMPARE(activator.requests(), QStringList{"activate " + mainId});
        if (expected < 0) {
            QCOMPARE(*result->errorDomain, QStringLiteral("SystemExtensionManager.ActivationError"));
            QVERIFY(result->errorDescription.startsWith("Не удалось активировать системное расширение: отказано\nbundle: "));
        } else {
            QVERIFY(!result->failed());
            QCOMPARE(int(*result->value), expected);
        }
    }

    void lateFinishAfterApprovalIsIgnored()
    {
        FakeExtensionActivator activator;
        SystemExtensionManager manager(activator);
        auto first = track(manager.activate(mainId));
        activator.answerNeedsApproval(mainId);
        ManualClock::drainEvents();
        QCOMPARE(*first->value, Result::NeedsUserApproval);

        // The user approves; the system's finish finds nobody waiting.
        activator.answerFinished(mainId);
        activator.answerFailed(mainId, "d", 1, "late");
        ManualClock::drainEvents();
        QCOMPARE(*first->value, Result::NeedsUserApproval);

        // A new request gets its own answer; other identifiers do not disturb it.
        auto second = track(manager.activate(mainId));
        activator.answerFinished(reserveId);
        ManualClock::drainEvents();
        QVERIFY(!second->done);
        activator.answerFinished(mainId);
        ManualClock::drainEvents();
        QCOMPARE(*second->value, Result::Activated);
    }

    void concurrentRequestsShareTheFirstOutcome()
    {
        FakeExtensionActivator activator;
        SystemExtensionManager manager(activator);
        auto activation = track(manager.activate(mainId));
        auto again = track(manager.activate(mainId));
        auto withdrawal = track(manager.withdrawPendingRequest(mainId));
        activator.answerFailed(mainId, "OSSystemExtensionErrorDomain", 8, "запрещено");
        ManualClock::drainEvents();
        QVERIFY(activation->done && again->done && withdrawal->done);
        QCOMPARE(activation->errorDescription.section('\n', 0, 0),
                 QStringLiteral("Не удалось активировать системное расширение: запрещено"));
        QCOMPARE(again->errorDescription, activation->errorDescription);
        QVERIFY(!withdrawal->failed()); // withdrawal errors are dropped
    }

    void withdrawalResumesOnAnyOutcome_data()
    {
        QTest::addColumn<int>("outcome");
        QTest::newRow("finished") << int(Outcome::Finish);
        QTest::newRow("failed") << int(Outcome::Fail);
        QTest::newRow("needs approval") << int(Outcome::NeedApproval);
    }

    void withdrawalResumesOnAnyOutcome()
    {
        QFETCH(int, outcome);
        FakeExtensionActivator activator;
        activator.setAutomaticDeactivationOutcome(Outcome(outcome));
        SystemExtensionManager manager(activator);
        auto withdrawal = track(manager.withdrawPendingRequest(reserveId));
        ManualClock::drainEvents();
        QVERIFY(withdrawal->done);
        QVERIFY(!withdrawal->failed());
        QCOMPARE(activator.requests(), QStringList{"deactivate " + reserveId});
    }

    void callerIsReleasedWhenTheManagerGoes()
    {
        FakeExtensionActivator activator;
        auto manager = std::make_unique<SystemExtensionManager>(activator);
        auto pending = track(manager->activate(mainId));
        manager.reset();
        ManualClock::drainEvents();
        QVERIFY(pending->done);
        QVERIFY(pending->failed());
    }

    void failureTextListsTheBundle_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QStringList>("plists"); // "" means no Info.plist
        QTest::addColumn<QStringList>("expectedItems");

        QTest::newRow("two extensions")
            << QStringList{"a.systemextension", "b.systemextension"}
            << QStringList{plist("<string>com.example.a</string>"), plist("<string>com.example.b</string>")}
            << QStringList{"a.systemextension → com.example.a", "b.systemextension → com.example.b"};
        QTest::newRow("no Info.plist, not a dictionary, not a string")
            << QStringList{"bare.systemextension", "list.systemextension", "number.systemextension"}
            << QStringList{"", "<plist><array><string>x</string></array></plist>", plist("<integer>7</integer>")}
            << QStringList{"bare.systemextension → нет CFBundleIdentifier", "list.systemextension → нет CFBundleIdentifier",
                           "number.systemextension → нет CFBundleIdentifier"};
        QTest::newRow("empty folder") << QStringList{} << QStringList{} << QStringList{};
    }

    void failureTextListsTheBundle()
    {
        QFETCH(QStringList, names);
        QFETCH(QStringList, plists);
        QFETCH(QStringList, expectedItems);
        const QString folder = makeBundle(QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-'));
        QDir().mkpath(folder);
        for (int i = 0; i < names.size(); ++i)
            addExtension(folder, names[i], plists[i].isEmpty() ? std::nullopt : std::optional<QString>(plists[i]));

        const QString text = SystemExtensionManager::failureDescription(QStringLiteral("Ошибка"));
        const QString head = "Не удалось активировать системное расширение: Ошибка\nbundle: " + folder + "\nнайдено: ";
        QVERIFY2(text.startsWith(head), qPrintable(text));
        const QString list = text.mid(head.size());
        if (expectedItems.isEmpty()) {
            QCOMPARE(list, QStringLiteral("ничего"));
        } else {
            QStringList items = list.split(QStringLiteral("; "));
            items.sort(); // the file system's order is not ours to fix
            QCOMPARE(items, expectedItems);
        }
    }

    void failureTextWithoutExtensionFolder()
    {
        const QString folder = makeBundle(QStringLiteral("no-folder"));
        QCOMPARE(SystemExtensionManager::failureDescription(QStringLiteral("x")),
                 "Не удалось активировать системное расширение: x\nbundle: " + folder + "\nнайдено: ничего");
    }

    void bundleContainsExtension()
    {
        const QString folder = makeBundle(QStringLiteral("contains"));
        QDir().mkpath(folder + "/" + mainId + ".systemextension");
        writePrivateFile(folder + "/com.example.plain.systemextension", "a file counts too");
        FakeExtensionActivator activator;
        SystemExtensionManager manager(activator);
        QVERIFY(manager.bundleContainsExtension(mainId));
        QVERIFY(manager.bundleContainsExtension(QStringLiteral("com.example.plain")));
        QVERIFY(!manager.bundleContainsExtension(reserveId));
        QVERIFY(!manager.bundleContainsExtension(QStringLiteral("com.qorvpn.connect.mac.TUNNEL")));
    }

    void linuxSubstituteReportsThreeOutcomes()
    {
        const QString build = qEnvironmentVariable("QOR_BUILD_DIR");
        QVERIFY(!build.isEmpty());
        qputenv("QOR_BUNDLE_DIR", (build + QStringLiteral("/bundle")).toUtf8());
        BundleExtensionActivator activator;
        SystemExtensionManager manager(activator);
        BundleExtensionActivator::setAwaitingApproval(mainId, false);

        auto main = track(manager.activate(mainId));
        auto reserve = track(manager.activate(reserveId));
        auto missing = track(manager.activate(QStringLiteral("com.example.absent")));
        ManualClock::drainEvents();
        QCOMPARE(*main->value, Result::Activated);
        QCOMPARE(*reserve->value, Result::Activated);
        QVERIFY(missing->failed());
        const QString expectedList1 = mainId + ".systemextension → " + mainId;
        const QString expectedList2 = reserveId + ".systemextension → " + reserveId;
        QVERIFY(missing->errorDescription.contains(expectedList1));
        QVERIFY(missing->errorDescription.contains(expectedList2));
        QVERIFY(missing->errorDescription.startsWith(
            "Не удалось активировать системное расширение: Системное расширение не найдено в сборке\nbundle: "));

        // Marked as awaiting approval: approval is asked for until the mark is gone,
        // then the pending request finishes with nobody waiting.
        BundleExtensionActivator::setAwaitingApproval(mainId, true);
        auto asked = track(manager.activate(mainId));
        ManualClock::drainEvents();
        QCOMPARE(*asked->value, Result::NeedsUserApproval);
        QSignalSpy finished(&activator, &ExtensionActivator::finished);
        BundleExtensionActivator::setAwaitingApproval(mainId, false);
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(finished.first().first().toString(), mainId);
        auto approved = track(manager.activate(mainId));
        ManualClock::drainEvents();
        QCOMPARE(*approved->value, Result::Activated);
    }
};

QTEST_GUILESS_MAIN(TestSystemExtensionManager)
#include "test_system_extension_manager.moc"
