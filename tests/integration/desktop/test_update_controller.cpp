// The update check: the appcast read over (loopback) HTTP, the outcome for the user
// and for the background schedule, and the can-check flag.

#include "demo/account_server.h"
#include "manual_clock.h"
#include "shell/desktop/update_controller.h"

#include <QSignalSpy>
#include <QTest>

using namespace qor;
using namespace std::chrono_literals;
using namespace Qt::StringLiterals;
using Outcome = UpdateController::Outcome;

namespace {
QByteArray feed(const QStringList &items)
{
    return "<?xml version=\"1.0\"?>\n<rss version=\"2.0\" xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">"
           "<channel><title>Qor Connect</title>" + items.join(QString()).toUtf8() + "</channel></rss>";
}

QString item(const QString &version, const QString &shortVersion)
{
    return u"<item><title>Qor Connect %1</title><link>https://example.com/notes/%1</link><enclosure url=\"https://downloads.example.com/q.deb\" "
           "sparkle:version=\"%2\" sparkle:shortVersionString=\"%1\" length=\"1\" type=\"application/octet-stream\"/></item>"_s
        .arg(shortVersion, version);
}
} // namespace

class TestUpdateController : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // The versions of a feed in document order; nothing for what is not a feed.
    void parsesTheFeed()
    {
        const QList<std::pair<QByteArray, std::optional<QStringList>>> rows{
            {feed({item("27", "1.4"), item("30", "1.5.1")}), QStringList{"1.4", "1.5.1"}},
            {feed({"<item><title>x</title><sparkle:version>2.0</sparkle:version></item>"}), QStringList{"2.0"}},
            {feed({"<item><title>x</title></item>", item("3", "0.9")}), QStringList{"0.9"}}, // no version: skipped
            {feed({}), QStringList{}},
            {"<html><body>503</body></html>", std::nullopt},
            {"<rss><channel><item>", std::nullopt},
            {QByteArray(), std::nullopt}};
        for (const auto &[document, versions] : rows) {
            std::optional<QStringList> found;
            if (const auto releases = appcast::parse(document)) {
                found.emplace();
                for (const auto &release : *releases)
                    found->append(release.displayVersion());
            }
            QVERIFY2(found == versions, document.constData());
        }
        const auto releases = appcast::parse(feed({item("27", "1.4"), item("31", "1.10"), item("30", "1.9")}));
        QCOMPARE(appcast::newerThan(*releases, QVersionNumber(1, 9))->displayVersion(), u"1.10"_s);
        QCOMPARE(appcast::newerThan(*releases, QVersionNumber(1, 10)), std::nullopt);
        QCOMPARE(appcast::newerThan(*releases, QVersionNumber(2)), std::nullopt);
    }

    // HTTPS, or plain HTTP on a loopback host; nothing can be checked from any other.
    void feedAddressRule()
    {
        const QList<std::pair<const char *, bool>> rows{{"https://updates.example.com/appcast.xml", true},
                                                        {"http://updates.example.com/appcast.xml", false},
                                                        {"http://127.0.0.1:8080/appcast.xml", true},
                                                        {"file:///tmp/appcast.xml", false},
                                                        {"", false}};
        ManualClock clock;
        for (const auto &[address, acceptable] : rows) {
            QVERIFY2(UpdateController::isAcceptableFeed(QUrl(address)) == acceptable, address);
            QVERIFY2(UpdateController(clock, QUrl(address), QVersionNumber(1, 0)).canCheckForUpdates() == acceptable, address);
        }
    }

    void checkForTheUser_data()
    {
        QTest::addColumn<ScriptedAnswer>("answer");
        QTest::addColumn<Outcome>("outcome");
        QTest::addColumn<QString>("version");
        const auto rss = [](const QByteArray &document, int status) { return ScriptedAnswer::raw(document, status, "application/rss+xml"); };
        QTest::newRow("newer") << rss(feed({item("27", "1.4"), item("30", "1.5")}), 200) << Outcome::UpdateAvailable << "1.5";
        QTest::newRow("same") << rss(feed({item("27", "1.4")}), 200) << Outcome::UpToDate << "";
        QTest::newRow("not a feed") << rss("oops", 200) << Outcome::Failed << "";
        QTest::newRow("server error") << rss(feed({item("30", "1.5")}), 500) << Outcome::Failed << "";
        QTest::newRow("connection dropped") << ScriptedAnswer::dropped() << Outcome::Failed << "";
    }
    void checkForTheUser()
    {
        QFETCH(ScriptedAnswer, answer);
        QFETCH(Outcome, outcome);
        AccountServer server;
        QVERIFY(server.listen());
        server.setDefault(u"appcast.xml"_s, answer);
        ManualClock clock;
        UpdateController updates(clock, server.baseUrl().resolved(QUrl(u"appcast.xml"_s)), QVersionNumber(1, 4));
        QSignalSpy finished(&updates, &UpdateController::checkFinished);
        updates.checkForUpdates();
        QVERIFY(!updates.canCheckForUpdates()); // one check at a time
        updates.checkForUpdates();
        QVERIFY(finished.wait(5000));
        QCOMPARE(finished.first().at(0).value<Outcome>(), outcome);
        const auto release = finished.first().at(1).value<appcast::Release>();
        QTEST(release.displayVersion(), "version");
        if (outcome == Outcome::UpdateAvailable) {
            QCOMPARE(release.downloadUrl, QUrl(u"https://downloads.example.com/q.deb"_s));
            QCOMPARE(release.notesUrl, QUrl(u"https://example.com/notes/1.5"_s));
        }
        QCOMPARE(finished.first().at(2).toBool(), true); // asked for by the user
        QVERIFY(updates.canCheckForUpdates());
        if (answer.delivery != ScriptedAnswer::Delivery::DropConnection) // which Qt asks for twice
            QCOMPARE(server.requestCount(u"appcast.xml"_s), 1); // the second press started nothing
    }

    void scheduledChecksInTheBackground()
    {
        AccountServer server;
        QVERIFY(server.listen());
        server.setDefault(u"appcast.xml"_s, ScriptedAnswer::raw(feed({item("30", "1.5")}), 200, "application/rss+xml"));
        ManualClock clock;
        UpdateController updates(clock, server.baseUrl().resolved(QUrl(u"appcast.xml"_s)), QVersionNumber(1, 4));
        QSignalSpy finished(&updates, &UpdateController::checkFinished);
        updates.startScheduledChecks(2min, 24h);
        clock.advance(119s);
        QCOMPARE(server.requestCount(u"appcast.xml"_s), 0);
        clock.advance(1s);
        QVERIFY(finished.wait(5000));
        QCOMPARE(finished.first().at(0).value<Outcome>(), Outcome::UpdateAvailable);
        QCOMPARE(finished.first().at(2).toBool(), false); // not asked for by the user
        clock.advance(24h);
        QVERIFY(finished.wait(5000));
        QCOMPARE(server.requestCount(u"appcast.xml"_s), 2);
    }
};

QTEST_MAIN(TestUpdateController)
#include "test_update_controller.moc"
