// The two desktop preferences: minimize-to-menu-bar in the standard store, launch
// at login mirroring the autostart entry, falling back when registration fails.

#include "account/defaults_store.h"
#include "shell/mac_preferences.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace qor;

class TestMacPreferences : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void minimizeToMenuBarPersists()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("standard.json"));
        {
            DefaultsStore store(file);
            MacPreferences preferences(store, AutostartEntry(dir.filePath(QStringLiteral("autostart/a.desktop"))));
            QCOMPARE(preferences.minimizeToMenuBar(), false);
            QSignalSpy changed(&preferences, &MacPreferences::minimizeToMenuBarChanged);
            preferences.setMinimizeToMenuBar(true);
            QCOMPARE(changed.count(), 1);
            QCOMPARE(store.boolValue(QStringLiteral("qor.minimizeToMenuBar")), std::optional<bool>(true));
        }
        DefaultsStore reopened(file);
        MacPreferences again(reopened, AutostartEntry(dir.filePath(QStringLiteral("autostart/a.desktop"))));
        QCOMPARE(again.minimizeToMenuBar(), true);
    }

    void launchAtLoginFollowsTheEntry()
    {
        QTemporaryDir dir;
        DefaultsStore store;
        const QString path = dir.filePath(QStringLiteral("autostart/qor-connect.desktop"));
        MacPreferences preferences(store, AutostartEntry(path));
        QCOMPARE(preferences.launchAtLogin(), false);
        preferences.setLaunchAtLogin(true);
        QCOMPARE(preferences.launchAtLogin(), true);
        QFile entry(path);
        QVERIFY(entry.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(entry.readAll());
        QVERIFY(text.startsWith(QStringLiteral("[Desktop Entry]\nType=Application\n")));
        QVERIFY(text.contains(QStringLiteral("\nExec=")));
        entry.close();
        // Read back from the entry by the next instance.
        QCOMPARE(MacPreferences(store, AutostartEntry(path)).launchAtLogin(), true);
        preferences.setLaunchAtLogin(false);
        QVERIFY(!QFile::exists(path));
        QCOMPARE(MacPreferences(store, AutostartEntry(path)).launchAtLogin(), false);
    }

    void failedRegistrationFallsBack()
    {
        QTemporaryDir dir;
        // The entry's folder cannot be created: a file stands where it would go.
        QFile blocker(dir.filePath(QStringLiteral("autostart")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        DefaultsStore store;
        MacPreferences preferences(store, AutostartEntry(dir.filePath(QStringLiteral("autostart/qor-connect.desktop"))));
        QSignalSpy changed(&preferences, &MacPreferences::launchAtLoginChanged);
        preferences.setLaunchAtLogin(true);
        QCOMPARE(preferences.launchAtLogin(), false);
        QCOMPARE(changed.count(), 2); // on, then back to the real state
    }

    void hiddenEntryIsNotRegistered()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("e.desktop"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[Desktop Entry]\nType=Application\nHidden=true\n[Desktop Action x]\nHidden=false\n");
        file.close();
        QCOMPARE(AutostartEntry(path).isRegistered(), false);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("[Desktop Entry]\nType=Application\n[Desktop Action x]\nHidden=true\n");
        file.close();
        QCOMPARE(AutostartEntry(path).isRegistered(), true);
    }
};

QTEST_GUILESS_MAIN(TestMacPreferences)
#include "test_mac_preferences.moc"
