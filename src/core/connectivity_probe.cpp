#include "connectivity_probe.h"

#include "runtime/cancel_token.h"

#include <QCoroSignal>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>

#include <memory>
#include <vector>

namespace qor {

namespace {
struct ProbeRound {
    int pending = 0;
    bool answered = false;
    Waker done;
    std::vector<std::unique_ptr<QNetworkAccessManager>> sessions;
};

bool countsAsAnswer(QNetworkReply *reply)
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        return false;
    const int code = status.toInt();
    return code >= 200 && code <= 499;
}
} // namespace

ConnectivityProbe::ConnectivityProbe(QStringList urls, std::chrono::milliseconds timeout)
    : m_urls(std::move(urls)), m_timeout(timeout)
{
}

QCoro::Task<bool> ConnectivityProbe::probe() const
{
    if (m_urls.isEmpty())
        co_return false;
    ProbeRound round;
    round.pending = int(m_urls.size());
    for (const QString &url : m_urls) {
        // A session of its own per request: nothing is shared or cached between probes.
        auto session = std::make_unique<QNetworkAccessManager>();
        session->setCookieJar(nullptr);
        QNetworkRequest request{QUrl(url)};
        request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
        request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
        request.setTransferTimeout(int(m_timeout.count()));
        QNetworkReply *reply = session->get(request);
        QObject::connect(reply, &QNetworkReply::finished, &round.done, [reply, &round] {
            reply->deleteLater();
            --round.pending;
            if (!round.answered && countsAsAnswer(reply)) {
                round.answered = true;
                round.done.fire(true);
            } else if (round.pending == 0) {
                round.done.fire(false);
            }
        });
        round.sessions.push_back(std::move(session));
    }
    const bool answered = co_await qCoro(&round.done, &Waker::woken);
    // The first answer decides: the others are abandoned with their sessions.
    for (auto &session : round.sessions) {
        for (QNetworkReply *reply : session->findChildren<QNetworkReply *>()) {
            QObject::disconnect(reply, nullptr, &round.done, nullptr);
            reply->abort();
        }
    }
    co_return answered;
}

} // namespace qor
