#include "telegram_login_service.h"

#include "login_response_parser.h"

#include "runtime/deployment.h"

#include <QCoroSignal>
#include <QJsonDocument>
#include <QPointer>
#include <QRandomGenerator>
#include <QUuid>

#include <array>

namespace qor {

namespace {

const QString badUrlText = QStringLiteral("bad url");

// Poll and refresh share this: an address that cannot be formed is an error result;
// any other failure, or a body that is not a usable answer, is no result.
std::optional<TelegramLoginResult> interpret(const AccountReply &reply)
{
    if (reply.failure == AccountReply::Failure::BadUrl)
        return TelegramLoginResult::error(badUrlText);
    if (!reply.succeeded())
        return std::nullopt;
    return qor::parseLoginResponse(reply.body);
}

} // namespace

TelegramLoginService::TelegramLoginService(Clock &clock, AccountTransport transport, QString deepLinkBase,
                                           QObject *parent)
    : QObject(parent)
    , m_clock(clock)
    , m_transport(std::move(transport))
    , m_deepLinkBase(deepLinkBase.isEmpty() ? deployment::deepLinkBase() : std::move(deepLinkBase))
{
}

TelegramLoginService::~TelegramLoginService() = default;

QString TelegramLoginService::makeLoginToken()
{
    std::array<quint32, 4> words;
    QRandomGenerator::system()->fillRange(words.data(), words.size());
    QByteArray bytes(reinterpret_cast<const char *>(words.data()), sizeof(words));
    bytes[6] = char((bytes[6] & 0x0f) | 0x40); // version 4
    bytes[8] = char((bytes[8] & 0x3f) | 0x80); // RFC 4122 variant
    return QUuid::fromRfc4122(bytes).toString(QUuid::WithoutBraces).remove(QLatin1Char('-')).toLower();
}

QString TelegramLoginService::deepLink(const QString &token) const
{
    return m_deepLinkBase + QStringLiteral("?start=login_") + token;
}

std::optional<TelegramLoginResult> TelegramLoginService::parseLoginResponse(const QByteArray &body)
{
    return qor::parseLoginResponse(body);
}

QString TelegramLoginService::startLogin(std::function<void(const TelegramLoginResult &)> onResult)
{
    const QString token = makeLoginToken();
    qCInfo(lcAccountApi) << "login started; polling for confirmation";
    pollLoop(pollTask.start(), token, std::move(onResult));
    return token;
}

void TelegramLoginService::cancelPolling()
{
    if (pollTask.isPresent())
        qCInfo(lcAccountApi) << "login polling cancelled";
    pollTask.cancelAndClear();
}

QCoro::Task<> TelegramLoginService::pollLoop(CancelToken token, QString loginToken,
                                             std::function<void(const TelegramLoginResult &)> onResult)
{
    QPointer<TelegramLoginService> self(this);
    Clock &clock = m_clock;
    const AccountTransport transport = m_transport;
    const auto deadline = clock.elapsed() + pollDeadline;

    // The first poll leaves from the event loop, never from inside startLogin: the
    // caller always holds its token before any result can arrive.
    Waker started;
    QMetaObject::invokeMethod(&started, [&started] { started.fire(true); }, Qt::QueuedConnection);
    co_await qCoro(&started, &Waker::woken);
    if (!self || token.isCancelled())
        co_return;

    // The deadline is tested before each request only; a request may take its own
    // time limit on top.
    while (!token.isCancelled() && clock.elapsed() < deadline) {
        // Built outside the co_await expression: g++ 12 mishandles literals inside it.
        AccountRequest request{QStringLiteral("login poll"), QStringLiteral("poll/") + loginToken, std::nullopt,
                               transport.settings().shortTimeout};
        const AccountReply reply = co_await transport.send(std::move(request), token);
        if (!self || token.isCancelled())
            co_return;
        if (const auto result = interpret(reply)) {
            self->pollTask.clearIfCurrent(token);
            qCInfo(lcAccountApi) << "login poll ended with" << result->kind;
            onResult(*result);
            co_return;
        }
        const bool slept = co_await clock.sleep(pollInterval, token);
        if (!self || !slept || token.isCancelled())
            co_return;
    }
    if (!self || token.isCancelled())
        co_return;
    self->pollTask.clearIfCurrent(token);
    qCInfo(lcAccountApi) << "login not confirmed in time";
    onResult(TelegramLoginResult::timedOut());
}

QCoro::Task<std::optional<TelegramLoginResult>> TelegramLoginService::refresh(QString sessionToken)
{
    const AccountTransport transport = m_transport; // `this` is not touched after suspending
    AccountRequest request{QStringLiteral("session refresh"), QStringLiteral("refresh/") + sessionToken,
                           std::nullopt, transport.settings().shortTimeout};
    const AccountReply reply = co_await transport.send(std::move(request));
    co_return interpret(reply);
}

QCoro::Task<bool> TelegramLoginService::deleteAccount(QString sessionToken)
{
    const AccountTransport transport = m_transport;
    AccountRequest request{QStringLiteral("account deletion"), QStringLiteral("account/delete"),
                           QJsonObject{{QStringLiteral("session_token"), sessionToken}},
                           transport.settings().longTimeout};
    const AccountReply reply = co_await transport.send(std::move(request));
    if (!reply.succeeded() || reply.httpStatus != 200)
        co_return false;
    const QJsonDocument document = QJsonDocument::fromJson(reply.body);
    if (!document.isObject())
        co_return false;
    const QJsonValue status = document.object().value(QLatin1StringView("status"));
    co_return status.isString() && status.toString() == u"ok";
}

} // namespace qor
