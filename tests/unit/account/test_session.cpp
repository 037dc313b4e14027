#include "account/defaults_store.h"
#include "account/secret_store_memory.h"
#include "account/session.h"
#include "manual_clock.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

using namespace std::chrono_literals;
using namespace qor;

namespace {

const QString kCorporate = QStringLiteral(R"({"qor":{"access_until":"2026-02-01T18:00:00Z","reason":"schedule"}})");

Session::Saved signIn()
{
    Session::Saved s;
    s.username = QStringLiteral("ivan");
    s.avatarDataURI = QStringLiteral("data:image/png;base64,iVBORw0KGgo=");
    s.subscriptionURL = QStringLiteral("https://example.com/sub/abc");
    s.awgConfigsJSON = QStringLiteral(R"([{"server":"Резерв 1","host":"192.0.2.10","conf":"[Interface]"}])");
    s.xrayConfigsJSON = QStringLiteral(R"([{"name":"Qor AI Network","config":{}}])");
    s.tavrinKey = QStringLiteral("tavrin-key");
    s.sessionToken = QStringLiteral("token-1");
    s.corporateJSON = kCorporate;
    return s;
}

} // namespace

class TestSession : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<DefaultsStore> m_defaults;
    std::unique_ptr<MemorySecretStore> m_secrets;
    std::unique_ptr<ManualClock> m_clock;
    std::unique_ptr<Session> m_session;

private Q_SLOTS:
    void init()
    {
        m_defaults = std::make_unique<DefaultsStore>();
        m_secrets = std::make_unique<MemorySecretStore>();
        m_clock = std::make_unique<ManualClock>();
        m_session = std::make_unique<Session>(*m_defaults, *m_secrets, *m_clock);
    }

    void emptyStoresHoldNoSession()
    {
        QVERIFY(!m_session->load());
    }

    // The subscription address alone marks a stored session.
    void sessionWithoutSubscriptionUrlIsNone()
    {
        m_defaults->setText(Session::kUsername, QStringLiteral("ivan"));
        m_defaults->setText(Session::kSessionToken, QStringLiteral("token"));
        m_secrets->write(Session::kCorporateJSON, kCorporate.toUtf8());
        QVERIFY(!m_session->load());

        m_defaults->setText(Session::kSubscriptionURL, QString());
        const std::optional<Session::Saved> loaded = m_session->load();
        QVERIFY(loaded);
        QCOMPARE(loaded->subscriptionURL, std::optional<QString>(QString()));
        QCOMPARE(loaded->username, std::optional<QString>(QStringLiteral("ivan")));
    }

    void saveThenLoadGivesEveryField()
    {
        Session::Saved values = signIn();
        values.corporateSavedAt = QDateTime(QDate(2000, 1, 1), QTime(0, 0), Qt::UTC); // ignored
        m_session->save(values);

        const std::optional<Session::Saved> loaded = m_session->load();
        QVERIFY(loaded);
        Session::Saved expected = signIn();
        expected.corporateSavedAt = m_clock->now();
        QCOMPARE(*loaded, expected);
        QCOMPARE(m_defaults->dateValue(Session::kCorporateSavedAt), std::optional<QDateTime>(m_clock->now()));
        QCOMPARE(m_secrets->read(Session::kCorporateJSON), std::optional<QByteArray>(kCorporate.toUtf8()));
    }

    void absentTextsRemoveTheirKeys()
    {
        m_session->save(signIn());
        Session::Saved refresh = signIn();
        refresh.avatarDataURI.reset();
        refresh.awgConfigsJSON.reset();
        refresh.tavrinKey.reset();
        m_session->save(refresh);
        QVERIFY(!m_defaults->contains(Session::kAvatarDataURI));
        QVERIFY(!m_defaults->contains(Session::kAwgConfigsJSON));
        QVERIFY(!m_defaults->contains(Session::kTavrinKey));
        const std::optional<Session::Saved> loaded = m_session->load();
        QVERIFY(loaded);
        QVERIFY(!loaded->avatarDataURI);
        QCOMPARE(loaded->username, std::optional<QString>(QStringLiteral("ivan")));
    }

    void saveWithoutTokenKeepsStoredToken_data()
    {
        QTest::addColumn<std::optional<QString>>("given");
        QTest::addColumn<QString>("stored");
        QTest::newRow("none given") << std::optional<QString>() << "token-1";
        QTest::newRow("new token") << std::optional<QString>(QStringLiteral("token-2")) << "token-2";
        QTest::newRow("empty token") << std::optional<QString>(QString()) << "";
    }

    void saveWithoutTokenKeepsStoredToken()
    {
        QFETCH(std::optional<QString>, given);
        QFETCH(QString, stored);
        m_session->save(signIn());
        Session::Saved refresh = signIn();
        refresh.sessionToken = given;
        m_session->save(refresh);
        QCOMPARE(m_session->load()->sessionToken, std::optional<QString>(stored));
    }

    // Saving with a record replaces the item and stamps it now; saving without one
    // deletes the item and the stamp.
    void corporateRecordFollowsEachSave()
    {
        m_session->save(signIn());
        QCOMPARE(m_secrets->itemCount(), 1);
        const QDateTime first = m_clock->now();

        m_clock->advance(90s);
        Session::Saved changed = signIn();
        changed.corporateJSON = QStringLiteral(R"({"qor":{"reason":"changed"}})");
        m_session->save(changed);
        QCOMPARE(m_secrets->itemCount(), 1);
        std::optional<Session::Saved> loaded = m_session->load();
        QCOMPARE(loaded->corporateJSON, changed.corporateJSON);
        QCOMPARE(loaded->corporateSavedAt, std::optional<QDateTime>(first.addSecs(90)));

        Session::Saved personal = signIn();
        personal.corporateJSON.reset();
        m_session->save(personal);
        QCOMPARE(m_secrets->itemCount(), 0);
        QVERIFY(!m_defaults->contains(Session::kCorporateSavedAt));
        loaded = m_session->load();
        QVERIFY(!loaded->corporateJSON);
        QVERIFY(!loaded->corporateSavedAt);
    }

    void sameCorporateTextTwiceLeavesOneItem()
    {
        m_session->save(signIn());
        m_clock->advance(1s);
        m_session->save(signIn());
        QCOMPARE(m_secrets->itemCount(), 1);
        QCOMPARE(m_session->load()->corporateJSON, std::optional<QString>(kCorporate));
        QCOMPARE(m_session->load()->corporateSavedAt, std::optional<QDateTime>(m_clock->now()));
    }

    // A text with no UTF-8 form (an unpaired surrogate) counts as absent on write.
    void unencodableCorporateTextDeletesTheItem()
    {
        m_session->save(signIn());
        Session::Saved broken = signIn();
        broken.corporateJSON = QStringLiteral("{\"qor\":\"") + QChar(0xD800) + QStringLiteral("\"}");
        m_session->save(broken);
        QCOMPARE(m_secrets->itemCount(), 0);
        QVERIFY(!m_defaults->contains(Session::kCorporateSavedAt));
    }

    void unreadableStoredValuesLoadAsAbsent_data()
    {
        QTest::addColumn<QByteArray>("secret");
        QTest::addColumn<bool>("keyringAvailable");
        QTest::addColumn<bool>("dateAsText");
        QTest::addColumn<bool>("corporatePresent");
        QTest::addColumn<bool>("datePresent");
        QTest::newRow("valid") << kCorporate.toUtf8() << true << false << true << true;
        QTest::newRow("invalid UTF-8") << QByteArray("{\"qor\":\"\xff\xfe\"}") << true << false << false << true;
        QTest::newRow("truncated UTF-8") << QByteArray("{\"reason\":\"\xd0") << true << false << false << true;
        QTest::newRow("keyring locked") << kCorporate.toUtf8() << false << false << false << true;
        QTest::newRow("date stored as text") << kCorporate.toUtf8() << true << true << true << false;
    }

    // Failures never surface: whatever cannot be read is simply absent, and the rest
    // of the session still loads.
    void unreadableStoredValuesLoadAsAbsent()
    {
        QFETCH(QByteArray, secret);
        QFETCH(bool, keyringAvailable);
        QFETCH(bool, dateAsText);
        QFETCH(bool, corporatePresent);
        QFETCH(bool, datePresent);
        Session::Saved values = signIn();
        values.corporateJSON.reset();
        m_session->save(values);
        m_secrets->write(Session::kCorporateJSON, secret);
        if (dateAsText)
            m_defaults->setText(Session::kCorporateSavedAt, m_clock->now().toString(Qt::ISODate));
        else
            m_defaults->setDate(Session::kCorporateSavedAt, m_clock->now());
        m_secrets->setAvailable(keyringAvailable);

        const std::optional<Session::Saved> loaded = m_session->load();
        QVERIFY(loaded);
        QCOMPARE(loaded->corporateJSON.has_value(), corporatePresent);
        if (corporatePresent)
            QCOMPARE(loaded->corporateJSON, std::optional<QString>(QString::fromUtf8(secret)));
        QCOMPARE(loaded->corporateSavedAt.has_value(), datePresent);
        QCOMPARE(loaded->tavrinKey, values.tavrinKey);
        QCOMPARE(loaded->sessionToken, values.sessionToken);
    }

    // Clear removes the session and nothing else: the settings and the selected node
    // survive, even when the shared store is the standard store that holds the node.
    void clearKeepsSettingsAndSelectedNode()
    {
        m_defaults->setText(QStringLiteral("settings.connectMode"), QStringLiteral("tavrin"));
        m_defaults->setBool(QStringLiteral("settings.autoReconnectEnabled"), false);
        m_defaults->setText(QStringLiteral("session.selectedNodeEndpoint"), QStringLiteral("198.51.100.7:443"));
        m_session->save(signIn());

        m_session->clear();
        QVERIFY(!m_session->load());
        for (const QString &key : {Session::kUsername, Session::kAvatarDataURI, Session::kSubscriptionURL,
                                   Session::kAwgConfigsJSON, Session::kXrayConfigsJSON, Session::kTavrinKey,
                                   Session::kSessionToken, Session::kCorporateSavedAt})
            QVERIFY2(!m_defaults->contains(key), qPrintable(key));
        QCOMPARE(m_secrets->itemCount(), 0);
        QCOMPARE(m_defaults->textValue(QStringLiteral("settings.connectMode")), std::optional<QString>(QStringLiteral("tavrin")));
        QCOMPARE(m_defaults->boolValue(QStringLiteral("settings.autoReconnectEnabled")), std::optional<bool>(false));
        QCOMPARE(m_defaults->textValue(QStringLiteral("session.selectedNodeEndpoint")),
                 std::optional<QString>(QStringLiteral("198.51.100.7:443")));
    }

    // A sign-in writes nine keys and a secret; the defaults file is written once, and
    // a later start reads the same session back.
    void signInIsOneFileWriteAndSurvivesRestart()
    {
        QTemporaryDir dir(qEnvironmentVariable("QOR_TEST_SCRATCH", QDir::tempPath()) + QStringLiteral("/session-XXXXXX"));
        QVERIFY(dir.isValid());
        MemorySecretStore secrets;
        {
            DefaultsStores stores(dir.path());
            Session session(stores.shared(), secrets, *m_clock);
            session.save(signIn());
            QCOMPARE(stores.shared().writeCount(), 0);
            QCoreApplication::processEvents();
            QCOMPARE(stores.shared().writeCount(), 1);
        }
        DefaultsStores restarted(dir.path());
        const std::optional<Session::Saved> loaded = Session(restarted.shared(), secrets, *m_clock).load();
        QVERIFY(loaded);
        Session::Saved expected = signIn();
        expected.corporateSavedAt = m_clock->now();
        QCOMPARE(*loaded, expected);
    }
};

QTEST_GUILESS_MAIN(TestSession)
#include "test_session.moc"
