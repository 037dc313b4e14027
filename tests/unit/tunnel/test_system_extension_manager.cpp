#include "fake_extension_activator.h"
#include "task_outcome.h"
#include "tunnel/platform/bundle_extension_activator.h"
#include "tunnel/platform/private_file.h"
#include "tunnel/system_extension_manager.h"

#include <QDir>
#include <QSignalSpy>
#include <QTest>

using namespace qor;
using namespace Qt::StringLiterals;
using Result = SystemExtensionManager::ActivationResult;
using Outcome = FakeExtensionActivator::Outcome;

namespace {

const QString mainId = u"com.qorvpn.connect.mac.tunnel"_s;
const QString reserveId = u"com.qorvpn.connect.mac.reserve"_s;
const QString failedPrefix = u"Не удалось активировать системное расширение: "_s;

QString plist(const QString &identifierElement)
{
    return u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
           "<key>CFBundleName</key><string>x</string>\n<key>CFBundleIdentifier</key>%1\n</dict>\n</plist>\n"_s.arg(identifierElement);
}

// A bundle tree in the scratch folder, pointed at through QOR_BUNDLE_DIR; returns its extension folder.
QString makeBundle(const QString &name)
{
    const QString root = qEnvironmentVariable("QOR_TEST_SCRATCH") + u"/bundles/"_s + name;
    QDir(root).removeRecursively();
    QDir().mkpath(root + u"/Contents"_s);
    qputenv("QOR_BUNDLE_DIR", root.toUtf8());
    return root + u"/Contents/Library/SystemExtensions"_s;
}

} // namespace

class TestSystemExtensionManager : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Answered later, never inside the call; a withdrawal resumes on any outcome and never fails.
    void outcomes()
    {
        makeBundle(u"outcomes"_s);
        const std::pair<Outcome, std::optional<Result>> rows[] = {
            {Outcome::Finish, Result::Activated}, {Outcome::NeedApproval, Result::NeedsUserApproval}, {Outcome::Fail, std::nullopt}};
        for (const auto &[outcome, expected] : rows) {
            FakeExtensionActivator activator;
            activator.setAutomaticActivationOutcome(outcome);
            activator.setAutomaticDeactivationOutcome(outcome);
            SystemExtensionManager manager(activator);
            auto result = track(manager.activate(mainId));
            auto withdrawal = track(manager.withdrawPendingRequest(reserveId));
            QVERIFY(!result->done && !withdrawal->done);
            ManualClock::drainEvents();
            QVERIFY(result->done && withdrawal->done && !withdrawal->failed());
            QCOMPARE(activator.requests(), (QStringList{"activate " + mainId, "deactivate " + reserveId}));
            QCOMPARE(result->value, expected);
            if (!result->value) {
                QCOMPARE(*result->errorDomain, u"SystemExtensionManager.ActivationError"_s);
                QVERIFY(result->errorDescription.startsWith(failedPrefix + u"отказано\nbundle: "_s));
            }
        }
    }

    // A late finish after approval finds nobody waiting; a new request gets its own
    // answer; concurrent requests share the first outcome (withdrawal errors are dropped).
    void requestsAndLateAnswers()
    {
        FakeExtensionActivator activator;
        SystemExtensionManager manager(activator);
        auto first = track(manager.activate(mainId));
        activator.answerNeedsApproval(mainId);
        ManualClock::drainEvents();
        QCOMPARE(*first->value, Result::NeedsUserApproval);
        activator.answerFinished(mainId);
        activator.answerFailed(mainId, "d", 1, "late");
        ManualClock::drainEvents();
        QCOMPARE(*first->value, Result::NeedsUserApproval);

        auto second = track(manager.activate(mainId));
        activator.answerFinished(reserveId);
        ManualClock::drainEvents();
        QVERIFY(!second->done);
        activator.answerFinished(mainId);
        ManualClock::drainEvents();
        QCOMPARE(*second->value, Result::Activated);

        auto activation = track(manager.activate(mainId));
        auto again = track(manager.activate(mainId));
        auto withdrawal = track(manager.withdrawPendingRequest(mainId));
        activator.answerFailed(mainId, "OSSystemExtensionErrorDomain", 8, "запрещено");
        ManualClock::drainEvents();
        QVERIFY(activation->done && again->done && withdrawal->done && !withdrawal->failed());
        QCOMPARE(activation->errorDescription.section('\n', 0, 0), failedPrefix + u"запрещено"_s);
        QCOMPARE(again->errorDescription, activation->errorDescription);
    }

    void callerIsReleasedWhenTheManagerGoes()
    {
        FakeExtensionActivator activator;
        auto manager = std::make_unique<SystemExtensionManager>(activator);
        auto pending = track(manager->activate(mainId));
        manager.reset();
        ManualClock::drainEvents();
        QVERIFY(pending->done && pending->failed());
    }

    // The failure names the bundle's extension folder and what each extension in it calls itself.
    void failureTextListsTheBundle()
    {
        const QString nothing = u"нет CFBundleIdentifier"_s;
        const struct {
            const char *bundle;
            bool withFolder;
            QList<std::pair<QString, QString>> extensions; // name, Info.plist ("": none)
            QStringList expected;
        } rows[] = {
            {"two", true,
             {{"a.systemextension", plist("<string>com.example.a</string>")}, {"b.systemextension", plist("<string>com.example.b</string>")}},
             {"a.systemextension → com.example.a", "b.systemextension → com.example.b"}},
            {"no-identifier", true,
             {{"bare.systemextension", ""}, {"list.systemextension", "<plist><array><string>x</string></array></plist>"},
              {"number.systemextension", plist("<integer>7</integer>")}},
             {"bare.systemextension → " + nothing, "list.systemextension → " + nothing, "number.systemextension → " + nothing}},
            {"empty-folder", true, {}, {"ничего"}},
            {"no-folder", false, {}, {"ничего"}},
        };
        for (const auto &row : rows) {
            const QString folder = makeBundle(QString::fromLatin1(row.bundle));
            if (row.withFolder)
                QDir().mkpath(folder);
            for (const auto &[name, plistText] : row.extensions) {
                QDir().mkpath(folder + '/' + name + u"/Contents"_s);
                if (!plistText.isEmpty())
                    writePrivateFile(folder + '/' + name + u"/Contents/Info.plist"_s, plistText.toUtf8());
            }
            const QString text = SystemExtensionManager::failureDescription(u"Ошибка"_s);
            const QString head = failedPrefix + u"Ошибка\nbundle: "_s + folder + u"\nнайдено: "_s;
            QVERIFY2(text.startsWith(head), qPrintable(text));
            QStringList items = text.mid(head.size()).split(u"; "_s);
            items.sort(); // the file system's order is not ours to fix
            QCOMPARE(items, row.expected);
        }
    }

    void linuxSubstituteReportsThreeOutcomes()
    {
        const QString build = qEnvironmentVariable("QOR_BUILD_DIR");
        QVERIFY(!build.isEmpty());
        qputenv("QOR_BUNDLE_DIR", (build + u"/bundle"_s).toUtf8());
        BundleExtensionActivator activator;
        SystemExtensionManager manager(activator);
        BundleExtensionActivator::setAwaitingApproval(mainId, false);

        auto main = track(manager.activate(mainId));
        auto reserve = track(manager.activate(reserveId));
        auto missing = track(manager.activate(u"com.example.absent"_s));
        ManualClock::drainEvents();
        QCOMPARE(*main->value, Result::Activated);
        QCOMPARE(*reserve->value, Result::Activated);
        QVERIFY(missing->failed());
        QVERIFY(missing->errorDescription.contains(mainId + ".systemextension → " + mainId));
        QVERIFY(missing->errorDescription.contains(reserveId + ".systemextension → " + reserveId));
        QVERIFY(missing->errorDescription.startsWith(failedPrefix + u"Системное расширение не найдено в сборке\nbundle: "_s));
        QVERIFY(manager.bundleContainsExtension(reserveId) && !manager.bundleContainsExtension(u"com.example.absent"_s));

        // Marked as awaiting approval: approval is asked for until the mark is gone,
        // then the pending request finishes with nobody waiting.
        BundleExtensionActivator::setAwaitingApproval(mainId, true);
        auto asked = track(manager.activate(mainId));
        ManualClock::drainEvents();
        QCOMPARE(*asked->value, Result::NeedsUserApproval);
        QSignalSpy finished(&activator, &ExtensionActivator::finished);
        BundleExtensionActivator::setAwaitingApproval(mainId, false);
        QTRY_COMPARE(finished.count(), 1); // the file watcher's event, not a timer
        QCOMPARE(finished.first().first().toString(), mainId);
        QCOMPARE(*settled(manager.activate(mainId))->value, Result::Activated);
    }
};

QTEST_GUILESS_MAIN(TestSystemExtensionManager)
#include "test_system_extension_manager.moc"
