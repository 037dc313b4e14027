#include "app_fixture.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace qor::test {

AppFixture::AppFixture()
    : trace(std::make_unique<StateTrace>(traceDir.path(), clock))
{
    state = std::make_unique<AppState>(services());
}

AppFixture::~AppFixture()
{
    state.reset();
    ManualClock::drainEvents();
}

AppServices AppFixture::services()
{
    return AppServices{clock, sharedDefaults, standardDefaults, session, *trace};
}

AppState &AppFixture::restart()
{
    state.reset();
    ManualClock::drainEvents();
    state = std::make_unique<AppState>(services());
    return *state;
}

QString catalogJson(const QStringList &endpoints, bool withBalancer)
{
    QJsonArray entries;
    const auto outbound = [](const QString &endpoint) {
        const int colon = endpoint.lastIndexOf(QLatin1Char(':'));
        const QJsonObject server{{QStringLiteral("address"), endpoint.left(colon)},
                                 {QStringLiteral("port"), endpoint.mid(colon + 1).toInt()}};
        const QJsonObject config{{QStringLiteral("outbounds"),
                                  QJsonArray{QJsonObject{{QStringLiteral("protocol"), QStringLiteral("vless")},
                                                         {QStringLiteral("settings"), QJsonObject{{QStringLiteral("vnext"), QJsonArray{server}}}}}}}};
        return QString::fromUtf8(QJsonDocument(config).toJson(QJsonDocument::Compact));
    };
    if (withBalancer) {
        entries.append(QJsonObject{{QStringLiteral("name"), QStringLiteral("Qor AI Network")},
                                   {QStringLiteral("config"), outbound(QStringLiteral("balancer.example.com:443"))}});
    }
    for (const QString &endpoint : endpoints)
        entries.append(QJsonObject{{QStringLiteral("name"), endpoint}, {QStringLiteral("config"), outbound(endpoint)}});
    return QString::fromUtf8(QJsonDocument(entries).toJson(QJsonDocument::Compact));
}

} // namespace qor::test
