// Launch at login's edges: an entry a desktop hid, a failed registration (both preferences across processes: test_cli_account).

#include "account/defaults_store.h"
#include "shell/mac_preferences.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace qor;
using namespace Qt::StringLiterals;

class TestMacPreferences : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void hiddenCountsInTheMainGroupOnly()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"qor-connect.desktop"_s);
        const QList<std::pair<QByteArray, bool>> table{
            {"[Desktop Entry]\nType=Application\nHidden=true\n[Desktop Action x]\nHidden=false\n", false},
            {"[Desktop Entry]\nType=Application\n[Desktop Action x]\nHidden=true\n", true}};
        for (const auto &[text, registered] : table) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size());
            file.close();
            QVERIFY2(AutostartEntry(path).isRegistered() == registered, text.constData());
        }
    }

    void failedRegistrationFallsBack()
    {
        // The entry's folder cannot be created: a file stands where it would go.
        QTemporaryDir dir;
        QFile blocker(dir.filePath(u"autostart"_s));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        DefaultsStore store;
        MacPreferences preferences(store, AutostartEntry(dir.filePath(u"autostart/qor-connect.desktop"_s)));
        QSignalSpy changed(&preferences, &MacPreferences::launchAtLoginChanged);
        preferences.setLaunchAtLogin(true);
        QCOMPARE(preferences.launchAtLogin(), false);
        QCOMPARE(changed.count(), 2); // on, then back to the real state
    }
};

QTEST_GUILESS_MAIN(TestMacPreferences)
#include "test_mac_preferences.moc"
