// The texts and levels the front ends derive from AppState: status title and
// subtitle by state, target and mode; the network health level and count line at
// their thresholds; the profile's byte, limit and subscription texts.

#include "app_fixture.h"
#include "shell/state_texts.h"

#include <QTest>

using namespace qor;
using namespace qor::test;
namespace texts = qor::state_texts;

Q_DECLARE_METATYPE(qor::ConnectionState)
Q_DECLARE_METATYPE(qor::ConnectMode)

namespace {
const QStringList endpoints{QStringLiteral("10.0.0.1:443"), QStringLiteral("10.0.0.2:443"), QStringLiteral("10.0.0.3:443"),
                            QStringLiteral("10.0.0.4:443")};
const QString disconnectedTitle = QStringLiteral("Нажмите на глобус, чтобы подключиться\nк распределённой ИИ сети Qor");
const QString autoSubtitle = QStringLiteral("распределённый доступ · автоматический выбор узла");

enum class Target { Balancer, Node, Reserve };
} // namespace

Q_DECLARE_METATYPE(Target)

class TestStateTexts : public QObject {
    Q_OBJECT

private:
    static AppState &signedIn(AppFixture &f)
    {
        f.storeSession(QStringLiteral("tok"), catalogJson(endpoints));
        AppState &app = f.start();
        f.startupDone();
        return app;
    }

    static ConnectionTarget targetOf(const AppState &app, Target target)
    {
        switch (target) {
        case Target::Node:
            return ConnectionTarget::node(app.directNodes().at(1));
        case Target::Reserve:
            return ConnectionTarget::reserve();
        case Target::Balancer:
            break;
        }
        return ConnectionTarget::balancer();
    }

private Q_SLOTS:
    void statusLines_data()
    {
        QTest::addColumn<ConnectionState>("state");
        QTest::addColumn<Target>("target");
        QTest::addColumn<ConnectMode>("mode");
        QTest::addColumn<QString>("progress");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("subtitle"); // empty: none

        const QString nodeTitle = QStringLiteral("Подключено · ") + SubscriptionCatalog::nodeDisplayLabel(endpoints.at(1));
        QTest::newRow("disconnected") << ConnectionState::Disconnected << Target::Balancer << ConnectMode::Auto << QString()
                                      << disconnectedTitle << QString();
        QTest::newRow("connecting") << ConnectionState::Connecting << Target::Node << ConnectMode::Auto << QString()
                                    << QStringLiteral("Подключение…") << QString();
        QTest::newRow("disconnecting") << ConnectionState::Disconnecting << Target::Balancer << ConnectMode::Main << QString()
                                       << QStringLiteral("Отключение…") << QString();
        QTest::newRow("balancer, auto") << ConnectionState::Connected << Target::Balancer << ConnectMode::Auto << QString()
                                        << QStringLiteral("Подключено · Qor AI Network") << autoSubtitle;
        QTest::newRow("balancer, main") << ConnectionState::Connected << Target::Balancer << ConnectMode::Main << QString()
                                        << QStringLiteral("Подключено · Qor AI Network")
                                        << QStringLiteral("распределённый доступ · автоматический выбор основного узла");
        QTest::newRow("balancer, tavrin") << ConnectionState::Connected << Target::Balancer << ConnectMode::Tavrin << QString()
                                          << QStringLiteral("Подключено · Qor AI Network")
                                          << QStringLiteral("распределённый доступ · автоматический выбор узла Tavrin");
        // The mode decides first unless it is the reserve mode.
        QTest::newRow("node, auto") << ConnectionState::Connected << Target::Node << ConnectMode::Auto << QString() << nodeTitle
                                    << autoSubtitle;
        QTest::newRow("node, reserve mode") << ConnectionState::Connected << Target::Node << ConnectMode::Reserve << QString()
                                            << nodeTitle << QStringLiteral("прямое подключение · быстрый канал");
        QTest::newRow("reserve: no title") << ConnectionState::Connected << Target::Reserve << ConnectMode::Reserve << QString()
                                           << QString() << QStringLiteral("АКТИВИРОВАН РЕЗЕРВНЫЙ КАНАЛ");
        QTest::newRow("reserve, main mode") << ConnectionState::Connected << Target::Reserve << ConnectMode::Main << QString()
                                            << QString() << QStringLiteral("АКТИВИРОВАН РЕЗЕРВНЫЙ КАНАЛ");
        // A progress text hides the title, not the subtitle.
        QTest::newRow("progress while connected") << ConnectionState::Connected << Target::Balancer << ConnectMode::Auto
                                                  << QStringLiteral("Переключение на основной канал —\nэто может занять до 30 секунд")
                                                  << QStringLiteral("Переключение на основной канал —\nэто может занять до 30 секунд")
                                                  << autoSubtitle;
        QTest::newRow("progress while connecting") << ConnectionState::Connecting << Target::Reserve << ConnectMode::Reserve
                                                   << QStringLiteral("Подбираю сервер (может занять до 60 секунд)")
                                                   << QStringLiteral("Подбираю сервер (может занять до 60 секунд)") << QString();
    }

    void statusLines()
    {
        QFETCH(ConnectionState, state);
        QFETCH(Target, target);
        QFETCH(ConnectMode, mode);
        QFETCH(QString, progress);
        QFETCH(QString, title);
        QFETCH(QString, subtitle);
        AppFixture f;
        AppState &app = signedIn(f);
        app.setTarget(targetOf(app, target));
        app.setConnectMode(mode);
        app.setConnectionState(state, f.clock.now());
        if (!progress.isEmpty())
            app.setConnectionProgress(progress);
        QCOMPARE(texts::statusTitle(app), title);
        QCOMPARE(texts::statusSubtitle(app), subtitle.isEmpty() ? std::nullopt : std::optional<QString>(subtitle));
    }

    void networkHealth_data()
    {
        QTest::addColumn<int>("measured");
        QTest::addColumn<int>("active"); // -1 absent, 0 false, 1 true
        QTest::addColumn<int>("level");
        QTest::addColumn<QString>("countLine");
        QTest::newRow("nothing measured") << 0 << 1 << 3 << QStringLiteral("Серверов: 4");
        QTest::newRow("three of four: exactly 75 %") << 3 << 1 << 0 << QStringLiteral("Отвечают 3 из 4 серверов");
        QTest::newRow("two of four") << 2 << 1 << 1 << QStringLiteral("Отвечают 2 из 4 серверов");
        QTest::newRow("all") << 4 << -1 << 0 << QStringLiteral("Отвечают 4 из 4 серверов");
        QTest::newRow("inactive subscription") << 4 << 0 << 2 << QStringLiteral("Отвечают 4 из 4 серверов");
    }

    void networkHealth()
    {
        QFETCH(int, measured);
        QFETCH(int, active);
        QFETCH(int, level);
        QFETCH(QString, countLine);
        AppFixture f;
        AppState &app = signedIn(f);
        SubscriptionInfo info;
        if (active >= 0)
            info.isActive = active == 1;
        app.setSubscription(info);
        for (int i = 0; i < measured; ++i)
            app.setNodeLatency(endpoints.at(i), quint64(40 + i));
        QCOMPARE(texts::networkHealthLevel(app), level);
        QCOMPARE(texts::nodeCountLine(app), countLine);
    }

    void noNodesIsLevelTwo()
    {
        AppFixture f;
        AppState &app = f.start();
        QCOMPARE(texts::networkHealthLevel(app), 2);
        QCOMPARE(texts::nodeCountLine(app), QStringLiteral("Серверов: 0"));
        QCOMPARE(texts::accountName(app), QStringLiteral("Клиент Telegram"));
    }

    void latencyAndBytes()
    {
        QCOMPARE(texts::latencyText(99), QStringLiteral("99 мс"));
        QCOMPARE(texts::latencyText(0), QStringLiteral("0 мс"));
        QCOMPARE(texts::latencyText(std::nullopt), QStringLiteral("—"));
        QCOMPARE(texts::byteText(0), QStringLiteral("0 КБ"));
        QCOMPARE(texts::byteText(1023), QStringLiteral("0 КБ"));
        QCOMPARE(texts::byteText(1536), QStringLiteral("2 КБ"));
        QCOMPARE(texts::byteText(1048575), QStringLiteral("1024 КБ"));
        QCOMPARE(texts::byteText(5 * 1048576 + 1), QStringLiteral("5 МБ"));
        QCOMPARE(texts::byteText(qint64(1610612736)), QStringLiteral("1.5 ГБ"));
    }

    void subscriptionRows()
    {
        SubscriptionInfo none;
        QCOMPARE(texts::subscriptionStatusText(none), QStringLiteral("—"));
        QCOMPARE(texts::expiresText(none), QStringLiteral("—"));
        QCOMPARE(texts::trafficLimitText(none), QStringLiteral("—"));
        QCOMPARE(texts::trafficUsedText(none), QStringLiteral("—"));

        SubscriptionInfo info;
        info.isActive = false;
        // Noon UTC is the same date in every time zone a test machine uses.
        info.expiresAt = QDateTime(QDate(2027, 1, 5), QTime(12, 0), Qt::UTC);
        info.trafficLimitBytes = 0;
        info.trafficUsedBytes = 1536;
        QCOMPARE(texts::subscriptionStatusText(info), QStringLiteral("● Неактивна"));
        QCOMPARE(texts::expiresText(info), QStringLiteral("5 января 2027"));
        QCOMPARE(texts::trafficLimitText(info), QStringLiteral("без ограничений"));
        QCOMPARE(texts::trafficUsedText(info), QStringLiteral("2 КБ"));
        info.isActive = true;
        info.trafficLimitBytes = qint64(107374182400);
        QCOMPARE(texts::subscriptionStatusText(info), QStringLiteral("● Активна"));
        QCOMPARE(texts::trafficLimitText(info), QStringLiteral("100.0 ГБ"));
    }

    void accountNamePrefersTheCompany()
    {
        AppFixture f;
        AppState &app = signedIn(f);
        QCOMPARE(texts::accountName(app), QStringLiteral("@user"));
        CorporateAccess record;
        record.company = QStringLiteral("ООО «Пример»");
        app.setCorporate(record);
        QCOMPARE(texts::accountName(app), QStringLiteral("ООО «Пример»"));
        record.company = QString();
        app.setCorporate(record);
        QCOMPARE(texts::accountName(app), QStringLiteral("@user"));
        app.setTelegramUsername(QString());
        QCOMPARE(texts::accountName(app), QStringLiteral("Клиент Telegram"));
    }
};

QTEST_GUILESS_MAIN(TestStateTexts)
#include "test_state_texts.moc"
