#include "provider_options.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace qor::demo {

namespace {

const char *const names[] = {"fail", "stay_connecting", "connect_delay", "drop_after",
                             "drop_error", "crash_after", "crash_at", "garbage_state", "tun", "traffic"};

bool truthy(const QVariant &value)
{
    if (value.typeId() == QMetaType::Bool)
        return value.toBool();
    const QString text = value.toString().trimmed().toLower();
    return !(text.isEmpty() || text == QLatin1String("0") || text == QLatin1String("false") || text == QLatin1String("off")
             || text == QLatin1String("no"));
}

std::optional<double> seconds(const QVariant &value)
{
    bool ok = false;
    const double s = value.toString().toDouble(&ok);
    if (value.typeId() == QMetaType::Double || value.typeId() == QMetaType::Int || value.typeId() == QMetaType::LongLong)
        return std::max(0.0, value.toDouble());
    return ok ? std::optional<double>(std::max(0.0, s)) : std::nullopt;
}

} // namespace

void ProviderOptions::applyEnvironment()
{
    QVariantMap settings;
    for (const char *name : names) {
        const QByteArray variable = "QOR_DEMO_PROVIDER_" + QByteArray(name).toUpper();
        if (qEnvironmentVariableIsSet(variable.constData()))
            settings.insert(QString::fromLatin1(name), qEnvironmentVariable(variable.constData()));
    }
    apply(settings);
}

void ProviderOptions::apply(const QVariantMap &s)
{
    if (s.contains(QStringLiteral("fail"))) {
        const QString text = s.value(QStringLiteral("fail")).toString();
        failText = text.isEmpty() ? std::nullopt : std::optional<QString>(text);
    }
    if (s.contains(QStringLiteral("stay_connecting")))
        stayConnecting = truthy(s.value(QStringLiteral("stay_connecting")));
    if (auto v = seconds(s.value(QStringLiteral("connect_delay"))))
        connectDelay = *v;
    if (s.contains(QStringLiteral("drop_after")))
        dropAfter = seconds(s.value(QStringLiteral("drop_after")));
    if (s.contains(QStringLiteral("drop_error")))
        dropError = s.value(QStringLiteral("drop_error")).toString();
    if (s.contains(QStringLiteral("crash_after")))
        crashAfter = seconds(s.value(QStringLiteral("crash_after")));
    if (s.contains(QStringLiteral("crash_at"))) {
        const QString stage = s.value(QStringLiteral("crash_at")).toString().trimmed();
        crashAt = stage.isEmpty() ? std::nullopt : std::optional<QString>(stage);
    }
    if (s.contains(QStringLiteral("garbage_state")))
        garbageState = truthy(s.value(QStringLiteral("garbage_state")));
    if (s.contains(QStringLiteral("tun")))
        tun = truthy(s.value(QStringLiteral("tun")));
    if (s.contains(QStringLiteral("traffic")))
        trafficBytesPerSecond = s.value(QStringLiteral("traffic")).toULongLong();
}

QVariantMap ProviderOptions::fromMainDocument(const QString &configContent)
{
    const QJsonObject doc = QJsonDocument::fromJson(configContent.toUtf8()).object();
    return doc.value(QStringLiteral("qor_demo")).toObject().toVariantMap();
}

QVariantMap ProviderOptions::fromWgQuickTexts(const QStringList &texts)
{
    static const QRegularExpression line(QStringLiteral("^\\s*#\\s*qor-demo:\\s*([a-z_]+)\\s*=\\s*(.*?)\\s*$"),
                                         QRegularExpression::MultilineOption);
    QVariantMap settings;
    for (const QString &text : texts) {
        auto it = line.globalMatch(text);
        while (it.hasNext()) {
            const auto m = it.next();
            settings.insert(m.captured(1), m.captured(2));
        }
    }
    return settings;
}

} // namespace qor::demo
