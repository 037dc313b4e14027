#include "app_types.h"

#include <QMetaEnum>

namespace qor {

namespace {
template<typename E>
QString lowerCamelKey(E value)
{
    QString key = QString::fromLatin1(QMetaEnum::fromType<E>().valueToKey(int(value)));
    if (!key.isEmpty())
        key[0] = key[0].toLower();
    return key;
}
} // namespace

QString caseName(AuthStage value) { return lowerCamelKey(value); }
QString caseName(ConnectionState value) { return lowerCamelKey(value); }

QString rawText(AppAppearance value) { return lowerCamelKey(value); }
QString rawText(ConnectMode value) { return lowerCamelKey(value); }
QString rawText(CascadeMode value) { return lowerCamelKey(value); }
QString rawText(TunnelSource value) { return lowerCamelKey(value); }

namespace {
template<typename E>
std::optional<E> fromRaw(const QString &text)
{
    const QMetaEnum meta = QMetaEnum::fromType<E>();
    for (int i = 0; i < meta.keyCount(); ++i) {
        const auto value = E(meta.value(i));
        if (rawText(value) == text)
            return value;
    }
    return std::nullopt;
}
} // namespace

std::optional<AppAppearance> appearanceFromRaw(const QString &text) { return fromRaw<AppAppearance>(text); }
std::optional<ConnectMode> connectModeFromRaw(const QString &text) { return fromRaw<ConnectMode>(text); }
std::optional<CascadeMode> cascadeModeFromRaw(const QString &text) { return fromRaw<CascadeMode>(text); }

QString ConnectionTarget::name() const
{
    switch (m_kind) {
    case Kind::Balancer:
        return SubscriptionCatalog::balancerName;
    case Kind::Reserve:
        return QStringLiteral("Резерв");
    case Kind::Node:
        break;
    }
    return SubscriptionCatalog::nodeDisplayLabel(m_node.endpoint);
}

QString formatConnectedDuration(qint64 seconds)
{
    const qint64 s = std::max<qint64>(seconds, 0);
    const auto two = [](qint64 v) { return QStringLiteral("%1").arg(v, 2, 10, QLatin1Char('0')); };
    const QString clock = two(s % 86400 / 3600) + QLatin1Char(':') + two(s % 3600 / 60) + QLatin1Char(':') + two(s % 60);
    return s >= 86400 ? QString::number(s / 86400) + QStringLiteral("д ") + clock : clock;
}

} // namespace qor
