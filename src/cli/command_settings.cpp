// qorctl settings: shows or sets the persisted settings and the two desktop
// preferences, through the same fields the screens use.

#include "command_line.h"

#include "shell/mac_preferences.h"

#include <functional>

namespace qor::cli {

namespace {

struct Setting {
    QString name;
    QString title; // as the screens label it
    std::function<QString(AppRoot &)> read;
    // Assigns the text when a root is given; false when the text is no value of this setting.
    std::function<bool(AppRoot *, const QString &)> write;
    QString values;
};

std::optional<bool> parseFlag(const QString &text)
{
    const QString t = text.trimmed().toLower();
    if (t == u"true" || t == u"on" || t == u"yes" || t == u"1" || t == u"да")
        return true;
    if (t == u"false" || t == u"off" || t == u"no" || t == u"0" || t == u"нет")
        return false;
    return std::nullopt;
}

QString flagText(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

Setting flagSetting(const char *name, QString title, std::function<bool(AppRoot &)> get, std::function<void(AppRoot &, bool)> set)
{
    return {QString::fromLatin1(name), std::move(title), [get](AppRoot &r) { return flagText(get(r)); },
            [set](AppRoot *r, const QString &v) {
                const auto flag = parseFlag(v);
                if (flag && r)
                    set(*r, *flag);
                return flag.has_value();
            },
            QStringLiteral("true|false")};
}

const QList<Setting> &settings()
{
    static const QList<Setting> table{
        flagSetting("autoReconnectEnabled", QStringLiteral("Автоподключение"),
                    [](AppRoot &r) { return r.state().autoReconnectEnabled(); },
                    [](AppRoot &r, bool v) { r.state().setAutoReconnectEnabled(v); }),
        {QStringLiteral("appearance"), QStringLiteral("Тема"), [](AppRoot &r) { return rawText(r.state().appearance()); },
         [](AppRoot *r, const QString &v) {
             const auto value = appearanceFromRaw(v.trimmed());
             if (value && r)
                 r->state().setAppearance(*value);
             return value.has_value();
         },
         QStringLiteral("system|light|dark")},
        flagSetting("liquidGlassEnabled", QStringLiteral("Эффект стекла"),
                    [](AppRoot &r) { return r.state().liquidGlassEnabled(); },
                    [](AppRoot &r, bool v) { r.state().setLiquidGlassEnabled(v); }),
        {QStringLiteral("connectMode"), QStringLiteral("Режим подключения"), [](AppRoot &r) { return rawText(r.state().connectMode()); },
         [](AppRoot *r, const QString &v) {
             // The reserve channel is entered by connect --reserve, never stored as a mode.
             const auto mode = connectModeFromRaw(v.trimmed());
             if (!mode || *mode == ConnectMode::Reserve)
                 return false;
             if (r)
                 r->state().setConnectMode(*mode);
             return true;
         },
         QStringLiteral("auto|main|tavrin")},
        flagSetting("minimizeToMenuBar", QStringLiteral("Сворачивать в строку меню"),
                    [](AppRoot &r) { return r.preferences().minimizeToMenuBar(); },
                    [](AppRoot &r, bool v) { r.preferences().setMinimizeToMenuBar(v); }),
        flagSetting("launchAtLogin", QStringLiteral("Запускать при входе в систему"),
                    [](AppRoot &r) { return r.preferences().launchAtLogin(); },
                    [](AppRoot &r, bool v) { r.preferences().setLaunchAtLogin(v); }),
    };
    return table;
}

const Setting *findSetting(const QString &name)
{
    for (const Setting &setting : settings()) {
        if (setting.name == name)
            return &setting;
    }
    return nullptr;
}

} // namespace

QCoro::Task<int> runSettings(Context &context, QStringList arguments)
{
    CommandParser command(*findCommand(QStringLiteral("settings")));
    if (const auto exit = command.parse(context, arguments))
        co_return *exit;
    const QStringList positional = command.positional();
    if (positional.size() > 2)
        co_return command.usageError(context, QStringLiteral("лишние аргументы"));
    const Setting *setting = nullptr;
    if (!positional.isEmpty()) {
        setting = findSetting(positional.first());
        if (!setting)
            co_return command.usageError(context, QStringLiteral("неизвестная настройка ") + positional.first());
    }
    if (positional.size() == 2) {
        if (!setting->write(nullptr, positional.at(1)))
            co_return command.usageError(context, QStringLiteral("значение ") + setting->name + QStringLiteral(": ") + setting->values);
        if (!context.claimInstance())
            co_return Failure;
    }
    AppRoot *root = context.root();
    if (!root)
        co_return Failure;

    if (positional.isEmpty()) {
        for (const Setting &entry : settings())
            context.out(entry.name.leftJustified(22) + entry.read(*root).leftJustified(8) + entry.title);
        co_return Success;
    }
    if (positional.size() == 2)
        setting->write(root, positional.at(1));
    context.out(setting->read(*root));
    co_return Success;
}

} // namespace qor::cli
