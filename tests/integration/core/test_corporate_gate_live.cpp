// The company's access window before a connect, with the account server on
// loopback and the real tunnel platform behind: a refusal starts nothing.

#include "live_app.h"

using namespace live;

namespace {

const QString askAdministrator = QStringLiteral("Обратитесь к администратору вашей компании");
const QString rulesUnknown = QStringLiteral("Не удалось получить правила компании. Подключитесь к интернету и попробуйте снова");

// The clock starts at 2026-01-31 12:00 UTC, and the tests run in UTC.
QJsonObject qorUntil(const QString &until, const QString &reason = QString())
{
    QJsonObject session{{"until", until}};
    if (!reason.isEmpty())
        session.insert("reason", reason);
    return QJsonObject{{"company", "Acme"}, {"session", session}};
}

ScriptedAnswer refreshAnswer(const QString &kind)
{
    if (kind == "down")
        return ScriptedAnswer::raw("unavailable", 503);
    if (kind == "open")
        return ScriptedAnswer::json(okAnswer({{"qor", qorUntil("2026-01-31T13:00:00Z")}}));
    if (kind == "hours")
        return ScriptedAnswer::json(okAnswer({{"qor", qorUntil("2026-01-31T11:45:00Z", "hours")}}));
    if (kind == "yesterday")
        return ScriptedAnswer::json(okAnswer({{"qor", qorUntil("2026-01-30T18:00:00Z", "window")}}));
    return ScriptedAnswer::json(okAnswer({{"qor", qorUntil("2026-01-31T11:30:00Z")}})); // "closed"
}

} // namespace

class TestCorporateGateLive : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { prepareEnvironment(); }

    void gate_data()
    {
        QTest::addColumn<QString>("stored");     // the record a previous run stored: "", "open" or "closed"
        QTest::addColumn<int>("storedAgeDays");
        QTest::addColumn<QString>("atStart");    // the answer to the start-up refresh
        QTest::addColumn<QStringList>("answers"); // the answers to the connect's refreshes, in order
        QTest::addColumn<QString>("refusal");     // empty: the connect goes on
        QTest::addColumn<QStringList>("lines");

        QTest::newRow("working window closed today")
            << "" << 0 << "closed" << QStringList{"closed"}
            << "Рабочее окно компании закрылось сегодня в 11:30. " + askAdministrator
            << QStringList{"connect refused: corporate window closed"};
        QTest::newRow("daily hours used up")
            << "" << 0 << "hours" << QStringList{"hours"}
            << "Исчерпан дневной лимит часов (окно закрылось в 11:45). " + askAdministrator
            << QStringList{"connect refused: corporate window closed"};
        QTest::newRow("working window closed on another day")
            << "" << 0 << "yesterday" << QStringList{"yesterday"}
            << "Рабочее окно компании закрылось 30 января, 18:00. " + askAdministrator
            << QStringList{"connect refused: corporate window closed"};
        QTest::newRow("week-old rules and no server")
            << "open" << 8 << "down" << QStringList{"down"} << rulesUnknown
            << QStringList{"connect refused: stored policy expired"};
        QTest::newRow("stale closed window, no server twice, old rules")
            << "closed" << 8 << "down" << QStringList{"down", "down"} << rulesUnknown
            << QStringList{"window closed by stale data — asking again", "window unknown — server decides",
                           "connect refused: stored policy expired"};
        QTest::newRow("stale closed window, closed again on asking")
            << "closed" << 1 << "down" << QStringList{"down", "closed"}
            << "Рабочее окно компании закрылось сегодня в 11:30. " + askAdministrator
            << QStringList{"window closed by stale data — asking again", "connect refused: corporate window closed"};
        QTest::newRow("stale closed window, open on asking")
            << "closed" << 1 << "down" << QStringList{"down", "open"} << QString()
            << QStringList{"window closed by stale data — asking again"};
        QTest::newRow("stale closed window, no server twice, recent rules")
            << "closed" << 1 << "down" << QStringList{"down", "down"} << QString()
            << QStringList{"window closed by stale data — asking again", "window unknown — server decides"};
    }

    void gate()
    {
        QFETCH(QString, stored);
        QFETCH(int, storedAgeDays);
        QFETCH(QString, atStart);
        QFETCH(QStringList, answers);
        QFETCH(QString, refusal);
        QFETCH(QStringList, lines);

        LiveApp f;
        const QDateTime now = f.clock.now();
        Session::Saved saved;
        saved.username = QStringLiteral("user");
        saved.subscriptionURL = QStringLiteral("https://sub.example.com/u");
        saved.sessionToken = QStringLiteral("tok");
        saved.tavrinKey = QStringLiteral("k");
        saved.xrayConfigsJSON = storedCatalog(okAnswer().value("xray_configs").toArray());
        if (!stored.isEmpty()) {
            const QString until = stored == "open" ? "2026-01-31T13:00:00Z" : "2026-01-31T11:59:00Z";
            saved.corporateJSON = QString::fromUtf8(QJsonDocument(QJsonObject{{"qor", qorUntil(until)}}).toJson(QJsonDocument::Compact));
        }
        f.clock.setNow(now.addDays(-storedAgeDays)); // the record was stored that long ago
        f.session.save(saved);
        f.clock.setNow(now);
        f.server.enqueue("refresh/", refreshAnswer(atStart));
        for (const QString &answer : answers)
            f.server.enqueue("refresh/", refreshAnswer(answer));
        f.server.setDefault("refresh/", refreshAnswer("down"));
        AppState &app = f.start();
        QVERIFY(app.isStartupFinished());
        QCOMPARE(app.isCorporate(), true);
        QFile::remove(deployment::traceDirectory() + "/state-trace.txt");

        app.tapGlobe();
        QVERIFY(f.drive([&] { return !app.switchingChannels && app.connectionState() != ConnectionState::Connecting; }));
        QStringList gateLines;
        for (const QString &line : f.traceLines()) {
            if (line.startsWith("window") || line.startsWith("connect refused"))
                gateLines.append(line);
        }
        QCOMPARE(gateLines, lines);
        QCOMPARE(f.server.requestCount("refresh/"), 1 + int(answers.size()));

        if (refusal.isEmpty()) {
            QCOMPARE(app.connectionState(), ConnectionState::Connected);
            QVERIFY(!app.connectionError());
            QVERIFY(f.tunnelRunning(TunnelSource::Main));
            return;
        }
        QCOMPARE(app.connectionState(), ConnectionState::Disconnected);
        QCOMPARE(app.connectionError(), refusal);
        // Nothing was started and nothing else was tried.
        QCOMPARE(f.storedProfileCount(), 0);
        QVERIFY(LiveApp::kvbRecord().isEmpty());
        f.pass(60s);
        QCOMPARE(f.traceCount("connect -> "), 1);
        QCOMPARE(app.connectionError(), refusal);
    }
};

QTEST_GUILESS_MAIN(TestCorporateGateLive)
#include "test_corporate_gate_live.moc"
