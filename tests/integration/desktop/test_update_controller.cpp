// The update check: the appcast over loopback HTTP, outcomes for user and schedule, can-check.

#include "demo/account_server.h"
#include "manual_clock.h"
#include "shell/desktop/update_controller.h"

#include <QMetaEnum>
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
        const QList<std::pair<const char *, bool>> rows{{"https://updates.example.com/appcast.xml", true}, {"http://updates.example.com/appcast.xml", false},
                                                        {"http://127.0.0.1:8080/appcast.xml", true}, {"file:///tmp/appcast.xml", false}, {"", false}};
        ManualClock clock;
        for (const auto &[address, acceptable] : rows) {
            QVERIFY2(UpdateController::isAcceptableFeed(QUrl(address)) == acceptable, address);
            QVERIFY2(UpdateController(clock, QUrl(address), QVersionNumber(1, 0)).canCheckForUpdates() == acceptable, address);
        }
    }

    // A user's check reports every outcome, one at a time; scheduled ones run quietly, pause then interval.
    void checks_data()
    {
        QTest::addColumn<ScriptedAnswer>("answer");
        QTest::addColumn<QString>("outcome");
        const auto rss = [](const QByteArray &document, int status = 200) { return ScriptedAnswer::raw(document, status, "application/rss+xml"); };
        QTest::newRow("newer") << rss(feed({item("27", "1.4"), item("30", "1.5")}))
                               << "UpdateAvailable 1.5 https://downloads.example.com/q.deb https://example.com/notes/1.5 user";
        QTest::newRow("same") << rss(feed({item("27", "1.4")})) << "UpToDate user";
        QTest::newRow("not a feed") << rss("oops") << "Failed user";
        QTest::newRow("server error") << rss(feed({item("30", "1.5")}), 500) << "Failed user";
        QTest::newRow("connection dropped") << ScriptedAnswer::dropped() << "Failed user";
        QTest::newRow("scheduled") << rss(feed({item("30", "1.5")}))
                                   << "UpdateAvailable 1.5 https://downloads.example.com/q.deb https://example.com/notes/1.5 background";
    }
    void checks()
    {
        QFETCH(ScriptedAnswer, answer);
        AccountServer server;
        QVERIFY(server.listen());
        server.setDefault(u"appcast.xml"_s, answer);
        ManualClock clock;
        UpdateController updates(clock, server.baseUrl().resolved(QUrl(u"appcast.xml"_s)), QVersionNumber(1, 4));
        QSignalSpy finished(&updates, &UpdateController::checkFinished);
        const auto outcome = [&] {
            const QList<QVariant> report = finished.takeFirst();
            const auto release = report.at(1).value<appcast::Release>();
            return QStringList{QString::fromLatin1(QMetaEnum::fromType<Outcome>().valueToKey(int(report.at(0).value<Outcome>()))), release.displayVersion(),
                               release.downloadUrl.toString(), release.notesUrl.toString(), report.at(2).toBool() ? u"user"_s : u"background"_s}
                .join(u' ').simplified();
        };
        if (QTest::currentDataTag() == QByteArray("scheduled")) {
            updates.startScheduledChecks(2min, 24h);
            clock.advance(119s);
            QCOMPARE(server.requestCount(), 0);
            clock.advance(1s);
            QVERIFY(finished.wait(5000));
            QTEST(outcome(), "outcome");
            clock.advance(24h);
            QVERIFY(finished.wait(5000));
            QCOMPARE(server.requestCount(u"appcast.xml"_s), 2);
            return;
        }
        updates.checkForUpdates();
        QVERIFY(!updates.canCheckForUpdates()); // one check at a time
        updates.checkForUpdates();
        QVERIFY(finished.wait(5000));
        QTEST(outcome(), "outcome");
        QVERIFY(updates.canCheckForUpdates());
        if (answer.delivery != ScriptedAnswer::Delivery::DropConnection) // which Qt asks for twice
            QCOMPARE(server.requestCount(u"appcast.xml"_s), 1); // the second press started nothing
    }
};

QTEST_MAIN(TestUpdateController)
#include "test_update_controller.moc"
