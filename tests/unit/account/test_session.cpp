#include "account/defaults_store.h"
#include "account/secret_store_memory.h"
#include "account/session.h"
#include "manual_clock.h"

#include <QTest>

using namespace std::chrono_literals;
using namespace qor;

namespace {

const QString kCorporate = QStringLiteral(R"({"qor":{"access_until":"2026-02-01T18:00:00Z","reason":"schedule"}})");

Session::Saved signIn()
{
    return {"ivan", "data:image/png;base64,iVBORw0KGgo=", "https://example.com/sub/abc",
            R"([{"server":"Резерв 1","host":"192.0.2.10","conf":"[Interface]"}])", R"([{"name":"Qor AI Network","config":{}}])",
            "tavrin-key", "token-1", kCorporate, {}};
}

} // namespace

class TestSession : public QObject {
    Q_OBJECT

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

    // The subscription address alone marks a stored session, even an empty one.
    void onlyTheSubscriptionUrlMarksASession()
    {
        QVERIFY(!m_session->load());
        m_defaults->setText(Session::kUsername, "ivan");
        m_defaults->setText(Session::kSessionToken, "token");
        m_secrets->write(Session::kCorporateJSON, kCorporate.toUtf8());
        QVERIFY(!m_session->load());
        m_defaults->setText(Session::kSubscriptionURL, QString());
        QVERIFY(m_session->load() && m_session->load()->subscriptionURL == "" && m_session->load()->username == "ivan");
    }

    // Each save stamps a corporate record with the clock's time (the given stamp is
    // ignored) and keeps one secret item; absent texts remove their keys; a save
    // without a record, or with one that has no UTF-8 form (an unpaired surrogate),
    // deletes the item and its stamp.
    void saveFollowsTheValuesGiven()
    {
        Session::Saved values = signIn();
        values.corporateSavedAt = QDateTime(QDate(2000, 1, 1), QTime(0, 0), Qt::UTC);
        m_session->save(values);
        Session::Saved expected = signIn();
        expected.corporateSavedAt = m_clock->now();
        QCOMPARE(m_session->load(), expected);
        QCOMPARE(m_secrets->read(Session::kCorporateJSON), kCorporate.toUtf8());

        for (const QString &corporate : {kCorporate, QStringLiteral(R"({"qor":{"reason":"changed"}})")}) {
            m_clock->advance(90s);
            values.corporateJSON = expected.corporateJSON = corporate;
            expected.corporateSavedAt = m_clock->now();
            m_session->save(values);
            QCOMPARE(m_secrets->itemCount(), 1);
            QCOMPARE(m_session->load(), expected);
        }

        for (std::optional<QString> *text : {&values.avatarDataURI, &values.awgConfigsJSON, &values.tavrinKey})
            text->reset();
        m_session->save(values);
        for (const QString &key : {Session::kAvatarDataURI, Session::kAwgConfigsJSON, Session::kTavrinKey})
            QVERIFY2(!m_defaults->contains(key), qPrintable(key));

        const QString unencodable = "{\"qor\":\"" + QString(QChar(0xD800)) + "\"}";
        for (const std::optional<QString> &corporate : {std::optional<QString>(), std::optional(unencodable)}) {
            m_session->save(signIn());
            values.corporateJSON = corporate;
            m_session->save(values);
            QVERIFY(m_secrets->itemCount() == 0 && !m_defaults->contains(Session::kCorporateSavedAt));
            QVERIFY(!m_session->load()->corporateJSON && !m_session->load()->corporateSavedAt);
        }
    }

    // An absent token leaves the stored one; any given token, even empty, replaces it.
    void saveWithoutTokenKeepsStoredToken()
    {
        for (const auto &[given, stored] : QList<std::pair<std::optional<QString>, QString>>{
                 {std::nullopt, "token-1"}, {"token-2", "token-2"}, {"", ""}}) {
            m_session->save(signIn());
            Session::Saved refresh = signIn();
            refresh.sessionToken = given;
            m_session->save(refresh);
            QCOMPARE(m_session->load()->sessionToken, stored);
        }
    }

    // Failures never surface: whatever cannot be read (bytes that are not UTF-8, a locked
    // keyring, a stamp of the wrong kind) is simply absent, and the rest still loads.
    void unreadableStoredValuesLoadAsAbsent()
    {
        const struct { const char *name; QByteArray secret; bool keyringAvailable, dateAsText; } rows[] = {
            {"valid", kCorporate.toUtf8(), true, false}, {"invalid UTF-8", "{\"qor\":\"\xff\xfe\"}", true, false},
            {"truncated UTF-8", "{\"reason\":\"\xd0", true, false}, {"keyring locked", kCorporate.toUtf8(), false, false},
            {"date stored as text", kCorporate.toUtf8(), true, true}};
        for (const auto &row : rows) {
            init();
            Session::Saved values = signIn();
            values.corporateJSON.reset();
            m_session->save(values);
            m_secrets->write(Session::kCorporateJSON, row.secret);
            if (row.dateAsText)
                m_defaults->setText(Session::kCorporateSavedAt, m_clock->now().toString(Qt::ISODate));
            else
                m_defaults->setDate(Session::kCorporateSavedAt, m_clock->now());
            m_secrets->setAvailable(row.keyringAvailable);
            values.corporateJSON = row.keyringAvailable && row.secret == kCorporate.toUtf8() ? std::optional(kCorporate) : std::nullopt;
            values.corporateSavedAt = row.dateAsText ? std::nullopt : std::optional(m_clock->now());
            QVERIFY2(m_session->load() == values, row.name);
        }
    }

    // Clear removes the session and nothing else: the settings and the selected node
    // survive, even when the shared store is the standard store that holds the node.
    void clearKeepsSettingsAndSelectedNode()
    {
        m_defaults->setText("settings.connectMode", "tavrin");
        m_defaults->setBool("settings.autoReconnectEnabled", false);
        m_defaults->setText("session.selectedNodeEndpoint", "198.51.100.7:443");
        m_session->save(signIn());
        m_session->clear();
        QVERIFY(!m_session->load());
        for (const QString &key : {Session::kUsername, Session::kAvatarDataURI, Session::kSubscriptionURL, Session::kAwgConfigsJSON,
                                   Session::kXrayConfigsJSON, Session::kTavrinKey, Session::kSessionToken, Session::kCorporateSavedAt})
            QVERIFY2(!m_defaults->contains(key), qPrintable(key));
        QCOMPARE(m_secrets->itemCount(), 0);
        QCOMPARE(m_defaults->textValue("settings.connectMode"), "tavrin");
        QCOMPARE(m_defaults->boolValue("settings.autoReconnectEnabled"), false);
        QCOMPARE(m_defaults->textValue("session.selectedNodeEndpoint"), "198.51.100.7:443");
    }
};

QTEST_GUILESS_MAIN(TestSession)
#include "test_session.moc"
