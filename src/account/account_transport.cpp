#include "account_transport.h"

#include "runtime/deployment.h"

#include <algorithm>

#include <QCoroSignal>
#include <QHostAddress>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

Q_LOGGING_CATEGORY(lcAccountApi, "com.qorvpn.connect.account", QtInfoMsg)

namespace qor {

namespace {

// How much of a body Qt may hold for us before we read it; the rest waits in the socket.
constexpr qint64 readBufferBytes = 1024 * 1024;

const char *describe(AccountReply::Failure failure)
{
    switch (failure) {
    case AccountReply::Failure::None: return "none";
    case AccountReply::Failure::BadUrl: return "bad url";
    case AccountReply::Failure::Network: return "network failure";
    case AccountReply::Failure::TimedOut: return "timed out";
    case AccountReply::Failure::Cancelled: return "cancelled";
    case AccountReply::Failure::BodyTooLarge: return "body too large";
    }
    return "unknown";
}

// An HTTP answer whose status Qt reports as an error (4xx, 5xx) is still an answer:
// the account API decides by the body. A failure below HTTP (connection, proxy, a
// response that breaks off or cannot be read) is not.
bool isHttpAnswer(const QNetworkReply &reply)
{
    if (!reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid())
        return false;
    const int error = reply.error();
    const bool belowHttp = error > QNetworkReply::NoError && error < QNetworkReply::ContentAccessDenied;
    return !belowHttp && error != QNetworkReply::ProtocolFailure && error != QNetworkReply::ProtocolUnknownError;
}

} // namespace

AccountTransport::AccountTransport()
    : AccountTransport(Settings{})
{
}

AccountTransport::AccountTransport(Settings settings)
    : m_settings(std::move(settings))
{
    if (m_settings.baseAddress.isEmpty())
        m_settings.baseAddress = deployment::apiBase();
}

bool AccountTransport::isAcceptableAddress(const QUrl &url)
{
    if (!url.isValid() || url.isRelative() || url.host().isEmpty())
        return false;
    if (url.scheme() == u"https")
        return true;
    if (url.scheme() != u"http")
        return false;
    // Plain HTTP only where nothing leaves the machine (the demo backend, tests).
    const QString host = url.host();
    if (host.compare(u"localhost", Qt::CaseInsensitive) == 0)
        return true;
    QHostAddress address;
    return address.setAddress(host) && address.isLoopback();
}

std::optional<QUrl> AccountTransport::url(const QString &path) const
{
    const QUrl address(m_settings.baseAddress + path, QUrl::StrictMode);
    if (!isAcceptableAddress(address))
        return std::nullopt;
    return address;
}

QCoro::Task<AccountReply> AccountTransport::send(AccountRequest request, CancelToken cancel) const
{
    using Failure = AccountReply::Failure;
    // The only use of `this`: nothing below the first suspension touches the transport.
    const std::optional<QUrl> address = url(request.path);
    const qint64 maxBody = m_settings.maxBodyBytes;

    if (!address) {
        qCWarning(lcAccountApi).noquote() << request.operation << "not sent: bad url";
        co_return AccountReply{Failure::BadUrl, 0, {}};
    }
    if (cancel.isCancelled())
        co_return AccountReply{Failure::Cancelled, 0, {}};

    QNetworkRequest networkRequest(*address);
    networkRequest.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    networkRequest.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    networkRequest.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    networkRequest.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    networkRequest.setTransferTimeout(int(request.timeout.count()));
    // Every hop of a redirect must pass the same address rule as the base, or a
    // loopback server could send a token in plain text to another host.
    networkRequest.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::UserVerifiedRedirectPolicy);

    // Declared before the manager so that they outlive the reply and its connections.
    Failure failure = Failure::None;
    QByteArray body;

    // A manager per request: its cookie jar and connections die with the exchange.
    QNetworkAccessManager manager;
    QNetworkReply *reply = nullptr;
    if (request.jsonBody) {
        networkRequest.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
        reply = manager.post(networkRequest, QJsonDocument(*request.jsonBody).toJson(QJsonDocument::Compact));
    } else {
        reply = manager.get(networkRequest);
    }
    reply->setReadBufferSize(readBufferBytes);

    const auto stop = [&failure, reply](Failure why) {
        if (reply->isFinished())
            return;
        failure = why;
        reply->abort();
    };
    const auto take = [&body, reply, maxBody] {
        // Never hold more than one byte past the limit, whatever the server sends. Only
        // what has arrived is asked for: read(n) first allocates all n bytes, and the
        // body would keep that capacity (tens of MiB for an answer of a few KiB).
        body += reply->read(std::min(maxBody + 1 - body.size(), reply->bytesAvailable()));
        return body.size() <= maxBody;
    };
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [stop, reply, maxBody] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > maxBody)
            stop(Failure::BodyTooLarge);
    });
    QObject::connect(reply, &QNetworkReply::redirected, reply, [stop, reply](const QUrl &target) {
        if (isAcceptableAddress(target))
            Q_EMIT reply->redirectAllowed();
        else
            stop(Failure::Network);
    });
    QObject::connect(reply, &QIODevice::readyRead, reply, [stop, take] {
        if (!take())
            stop(Failure::BodyTooLarge);
    });

    // Resumption goes through the event loop (qCoro on a signal is queued), so the
    // coroutine never continues inside abort(), a timer or the canceller.
    Waker done;
    QObject::connect(reply, &QNetworkReply::finished, &done, [&done] { done.fire(true); });

    // transferTimeout only measures silence; a server trickling bytes would outlive it.
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, reply, [stop] { stop(Failure::TimedOut); });
    deadline.start(request.timeout);

    Waker cancelled;
    QObject::connect(&cancelled, &Waker::woken, reply, [stop] { stop(Failure::Cancelled); });
    cancel.addWaker(&cancelled);

    if (!done.fired())
        co_await qCoro(&done, &Waker::woken);
    cancel.removeWaker(&cancelled);
    deadline.stop();

    if (failure == Failure::None && !take())
        failure = Failure::BodyTooLarge;
    if (failure == Failure::None && !isHttpAnswer(*reply))
        failure = Failure::Network;

    AccountReply result;
    result.failure = failure;
    if (failure == Failure::None) {
        result.httpStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        result.body = std::move(body);
        qCDebug(lcAccountApi).noquote() << request.operation << "answered with HTTP" << result.httpStatus;
    } else {
        qCInfo(lcAccountApi).noquote() << request.operation << "failed:" << describe(failure);
    }
    co_return result;
}

} // namespace qor
