#include "command_line.h"

namespace qor::cli {

namespace {
const QString helpName = QStringLiteral("help");
const QString demoName = QStringLiteral("demo");
} // namespace

const QList<Command> &commands()
{
    static const QList<Command> table{
        {QStringLiteral("status"), QStringLiteral("[--json]"), QStringLiteral("состояние входа, подписки и подключения"),
         QStringLiteral("Показывает стадию входа, пользователя, подписку, состояние подключения, цель, режим,\n"
                        "время подключения, скорости и объёмы, ошибку, ход подключения, предупреждения.\n"
                        "  --json   один объект JSON (поля описаны в README)"),
         runStatus},
        {QStringLiteral("login"), QStringLiteral("email АДРЕС [--code КОД] | telegram"), QStringLiteral("вход по коду из письма или через Telegram"),
         QStringLiteral("email АДРЕС   запрашивает код на адрес и проверяет его; без --code код читается\n"
                        "              со стандартного ввода\n"
                        "  --code КОД  код из письма\n"
                        "telegram      печатает ссылку для бота и ждёт подтверждения (до 180 секунд)"),
         runLogin},
        {QStringLiteral("logout"), QString(), QStringLiteral("останавливает подключение и выходит из аккаунта"),
         QStringLiteral("Останавливает туннели и выходит из аккаунта."), runLogout},
        {QStringLiteral("connect"), QStringLiteral("[--mode auto|main|tavrin] [--balancer | --node АДРЕС | --reserve] [--stay]"),
         QStringLiteral("подключается и ждёт результата"),
         QStringLiteral("Выбирает режим и цель так же, как экран, подключается и ждёт: 0 — подключено,\n"
                        "1 — подключение не удалось или отклонено (текст ошибки в stderr).\n"
                        "  --mode РЕЖИМ      auto, main или tavrin\n"
                        "  --balancer        Qor AI Network\n"
                        "  --node АДРЕС      узел по его адресу host:port (см. qorctl nodes)\n"
                        "  --reserve         резервный канал\n"
                        "  --stay            не завершаться: печатать каждое изменение состояния до Ctrl+C\n"
                        "  --stop-on-exit    с --stay: при завершении отключиться\n"
                        "  --timeout СЕК     сколько ждать результата (по умолчанию 120)"),
         runConnect},
        {QStringLiteral("disconnect"), QString(), QStringLiteral("отключается и ждёт остановки туннелей"),
         QStringLiteral("Останавливает всё и ждёт, пока туннели не остановятся."), runDisconnect},
        {QStringLiteral("nodes"), QStringLiteral("[--measure] [--json]"), QStringLiteral("Qor AI Network и узлы с задержками"),
         QStringLiteral("Перечисляет Qor AI Network и узлы подписки в порядке панели сети.\n"
                        "  --measure   сначала измерить задержки\n"
                        "  --json      один объект JSON: поля status и список nodes"),
         runNodes},
        {QStringLiteral("settings"), QStringLiteral("[ИМЯ [ЗНАЧЕНИЕ]]"), QStringLiteral("показывает или меняет настройки"),
         QStringLiteral("Без аргументов показывает все настройки, с ИМЕНЕМ — одну, с ЗНАЧЕНИЕМ — меняет её.\n"
                        "  autoReconnectEnabled  true|false\n"
                        "  appearance            system|light|dark\n"
                        "  liquidGlassEnabled    true|false\n"
                        "  connectMode           auto|main|tavrin\n"
                        "  minimizeToMenuBar     true|false\n"
                        "  launchAtLogin         true|false"),
         runSettings},
        {QStringLiteral("refresh"), QString(), QStringLiteral("обновляет сессию с сервера"),
         QStringLiteral("Обновляет сессию: «Статус обновлён» или «Не получилось обновить статус»."), runRefresh},
        {QStringLiteral("delete-account"), QStringLiteral("--yes"), QStringLiteral("удаляет аккаунт"),
         QStringLiteral("Удаляет аккаунт и все связанные с ним данные без возможности восстановления.\n"
                        "  --yes   подтверждение"),
         runDeleteAccount},
        {QStringLiteral("trace"), QStringLiteral("[--lines N]"), QStringLiteral("конец журнала состояний"),
         QStringLiteral("Печатает последние строки журнала состояний (state-trace.txt).\n"
                        "  --lines N   сколько строк (по умолчанию 20)"),
         runTrace},
    };
    return table;
}

const Command *findCommand(const QString &name)
{
    for (const Command &command : commands()) {
        if (command.name == name)
            return &command;
    }
    return nullptr;
}

QString usageText(const Command *command)
{
    if (command) {
        return QStringLiteral("Использование: qorctl [--demo] ") + command->name
            + (command->usage.isEmpty() ? QString() : QLatin1Char(' ') + command->usage) + QLatin1Char('\n')
            + command->details + QStringLiteral("\n  --demo   работать с встроенным демо-сервером\n");
    }
    QString text = QStringLiteral("Использование: qorctl [--demo] КОМАНДА [ПАРАМЕТРЫ]\n"
                                  "Командная строка Qor Connect.\n\nКоманды:\n");
    for (const Command &entry : commands())
        text += QStringLiteral("  ") + entry.name.leftJustified(16) + entry.summary + QLatin1Char('\n');
    text += QStringLiteral("\nПараметры:\n"
                           "  --demo      встроенный демо-сервер: вход без аккаунта, данные отдельно от настоящих\n"
                           "  --help      эта справка; qorctl КОМАНДА --help — справка по команде\n"
                           "  --version   версия\n\n"
                           "Коды выхода: 0 — успех, 1 — операция не удалась или отклонена, 2 — неверный вызов.\n");
    return text;
}

CommandParser::CommandParser(const Command &command)
    : m_command(command)
{
    m_parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    m_parser.addOption(QCommandLineOption(QStringList{QStringLiteral("h"), helpName}));
    m_parser.addOption(QCommandLineOption(demoName));
}

std::optional<int> CommandParser::parse(Context &context, const QStringList &arguments)
{
    if (!m_parser.parse(QStringList{QStringLiteral("qorctl"), m_command.name} + arguments)) {
        const QStringList unknown = m_parser.unknownOptionNames();
        const QString reason = unknown.isEmpty() ? QStringLiteral("неверные параметры (") + m_parser.errorText() + QLatin1Char(')')
                                                 : QStringLiteral("неизвестный параметр ") + unknown.join(QStringLiteral(", "));
        return usageError(context, reason);
    }
    if (m_parser.isSet(helpName)) {
        context.outRaw(usageText(&m_command).toUtf8());
        return Success;
    }
    return std::nullopt;
}

std::optional<int> CommandParser::parseWithoutPositional(Context &context, const QStringList &arguments)
{
    if (const auto exit = parse(context, arguments))
        return exit;
    if (!positional().isEmpty())
        return usageError(context, QStringLiteral("лишние аргументы"));
    return std::nullopt;
}

QStringList CommandParser::positional() const
{
    return m_parser.positionalArguments().mid(1);
}

int CommandParser::usageError(Context &context, const QString &reason) const
{
    context.err(QStringLiteral("qorctl ") + m_command.name + QStringLiteral(": ") + reason);
    context.err(usageText(&m_command).trimmed());
    return Usage;
}

} // namespace qor::cli
