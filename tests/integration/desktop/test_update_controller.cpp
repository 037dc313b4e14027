// The update check: the appcast read over (loopback) HTTP, the outcome for the user
// and for the background schedule, and the can-check flag.

#include "manual_clock.h"
#include "demo/account_server.h"
#include "shell/desktop/update_controller.h"

#include <QSignalSpy>
#include <QTest>

using namespace qor;
using namespace std::chrono_literals;

namespace {
QByteArray feed(const QStringList &items)
{
    return QByteArrayLiteral("<?xml version=\"1.0\"?>\n"
                             "<rss version=\"2.0\" xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">"
                             "<channel><title>Qor Connect</title>")
        + items.join(QString()).toUtf8() + QByteArrayLiteral("</channel></rss>");
}

QString item(const QString &version, const QString &shortVersion, const QString &url = QStringLiteral("https://downloads.example.com/q.deb"))
{
    return QStringLiteral("<item><title>Qor Connect %1</title><link>https://example.com/notes/%1</link>"
                          "<enclosure url=\"%3\" sparkle:version=\"%2\" sparkle:shortVersionString=\"%1\" length=\"1\" type=\"application/octet-stream\"/>"
                          "</item>")
        .arg(shortVersion, version, url);
}

using Outcome = UpdateController::Outcome;
} // namespace

class TestUpdateController : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void parsesTheFeed_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QStringList>("versions");
        QTest::newRow("two releases") << feed({item("27", "1.4"), item("30", "1.5.1")}) << QStringList{"1.4", "1.5.1"};
        QTest::newRow("version in elements") << feed({"<item><title>x</title><sparkle:version>2.0</sparkle:version></item>"})
                                             << QStringList{"2.0"};
        QTest::newRow("item without version skipped") << feed({"<item><title>x</title></item>", item("3", "0.9")}) << QStringList{"0.9"};
        QTest::newRow("empty channel") << feed({}) << QStringList{};
    }
    void parsesTheFeed()
    {
        QFETCH(QByteArray, document);
        QFETCH(QStringList, versions);
        const auto releases = appcast::parse(document);
        QVERIFY(releases);
        QStringList found;
        for (const auto &release : *releases)
            found.append(release.displayVersion());
        QCOMPARE(found, versions);
    }

    void rejectsWhatIsNotAFeed_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::newRow("html") << QByteArray("<html><body>503</body></html>");
        QTest::newRow("broken xml") << QByteArray("<rss><channel><item>");
        QTest::newRow("empty") << QByteArray();
    }
    void rejectsWhatIsNotAFeed()
    {
        QFETCH(QByteArray, document);
        QCOMPARE(appcast::parse(document), std::nullopt);
    }

    void newestReleaseAboveTheCurrentOne()
    {
        const auto releases = appcast::parse(feed({item("27", "1.4"), item("31", "1.10"), item("30", "1.9")}));
        QCOMPARE(appcast::newerThan(*releases, QVersionNumber(1, 9))->displayVersion(), QStringLiteral("1.10"));
        QCOMPARE(appcast::newerThan(*releases, QVersionNumber(1, 10)), std::nullopt);
        QCOMPARE(appcast::newerThan(*releases, QVersionNumber(2)), std::nullopt);
    }

    void feedAddressRule_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("acceptable");
        QTest::newRow("https") << "https://updates.example.com/appcast.xml" << true;
        QTest::newRow("http elsewhere") << "http://updates.example.com/appcast.xml" << false;
        QTest::newRow("http loopback") << "http://127.0.0.1:8080/appcast.xml" << true;
        QTest::newRow("file") << "file:///tmp/appcast.xml" << false;
        QTest::newRow("empty") << "" << false;
    }
    void feedAddressRule()
    {
        QFETCH(QString, address);
        QFETCH(bool, acceptable);
        QCOMPARE(UpdateController::isAcceptableFeed(QUrl(address)), acceptable);
        ManualClock clock;
        UpdateController updates(clock, QUrl(address), QVersionNumber(1, 0));
        QCOMPARE(updates.canCheckForUpdates(), acceptable);
    }

    void checkForTheUser_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<int>("status");
        QTest::addColumn<Outcome>("outcome");
        QTest::addColumn<QString>("version");
        QTest::newRow("newer") << feed({item("27", "1.4"), item("30", "1.5")}) << 200 << Outcome::UpdateAvailable << "1.5";
        QTest::newRow("same") << feed({item("27", "1.4")}) << 200 << Outcome::UpToDate << "";
        QTest::newRow("not a feed") << QByteArray("oops") << 200 << Outcome::Failed << "";
        QTest::newRow("server error") << feed({item("30", "1.5")}) << 500 << Outcome::Failed << "";
    }
    void checkForTheUser()
    {
        QFETCH(QByteArray, document);
        QFETCH(int, status);
        QFETCH(Outcome, outcome);
        QFETCH(QString, version);
        AccountServer server;
        QVERIFY(server.listen());
        server.setDefault(QStringLiteral("appcast.xml"), ScriptedAnswer::raw(document, status, "application/rss+xml"));
        ManualClock clock;
        UpdateController updates(clock, server.baseUrl().resolved(QUrl(QStringLiteral("appcast.xml"))), QVersionNumber(1, 4));
        QSignalSpy finished(&updates, &UpdateController::checkFinished);
        updates.checkForUpdates();
        QVERIFY(!updates.canCheckForUpdates()); // one check at a time
        updates.checkForUpdates();
        QVERIFY(finished.wait(5000));
        QCOMPARE(server.requestCount(QStringLiteral("appcast.xml")), 1);
        QCOMPARE(finished.first().at(0).value<Outcome>(), outcome);
        const auto release = finished.first().at(1).value<appcast::Release>();
        QCOMPARE(release.displayVersion(), version);
        if (outcome == Outcome::UpdateAvailable) {
            QCOMPARE(release.downloadUrl, QUrl(QStringLiteral("https://downloads.example.com/q.deb")));
            QCOMPARE(release.notesUrl, QUrl(QStringLiteral("https://example.com/notes/1.5")));
        }
        QCOMPARE(finished.first().at(2).toBool(), true);
        QVERIFY(updates.canCheckForUpdates());
    }

    void unreachableFeedFails()
    {
        AccountServer server;
        QVERIFY(server.listen());
        const QUrl address = server.baseUrl().resolved(QUrl(QStringLiteral("appcast.xml")));
        server.setDefault(QStringLiteral("appcast.xml"), ScriptedAnswer::dropped());
        ManualClock clock;
        UpdateController updates(clock, address, QVersionNumber(1, 4));
        QSignalSpy finished(&updates, &UpdateController::checkFinished);
        updates.checkForUpdates();
        QVERIFY(finished.wait(5000));
        QCOMPARE(finished.first().at(0).value<Outcome>(), Outcome::Failed);
    }

    void scheduledChecksInTheBackground()
    {
        AccountServer server;
        QVERIFY(server.listen());
        server.setDefault(QStringLiteral("appcast.xml"), ScriptedAnswer::raw(feed({item("30", "1.5")}), 200, "application/rss+xml"));
        ManualClock clock;
        UpdateController updates(clock, server.baseUrl().resolved(QUrl(QStringLiteral("appcast.xml"))), QVersionNumber(1, 4));
        QSignalSpy finished(&updates, &UpdateController::checkFinished);
        updates.startScheduledChecks(2min, 24h);
        clock.advance(119s);
        QCOMPARE(server.requestCount(QStringLiteral("appcast.xml")), 0);
        clock.advance(1s);
        QVERIFY(finished.wait(5000));
        QCOMPARE(finished.first().at(2).toBool(), false); // not asked for by the user
        QCOMPARE(finished.first().at(0).value<Outcome>(), Outcome::UpdateAvailable);
        clock.advance(24h);
        QVERIFY(finished.wait(5000));
        QCOMPARE(server.requestCount(QStringLiteral("appcast.xml")), 2);
    }
};

QTEST_MAIN(TestUpdateController)
#include "test_update_controller.moc"
