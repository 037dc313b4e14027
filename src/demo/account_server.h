#pragma once

#include "loopback_http_server.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

class QTcpSocket;

namespace qor {

// What the account server does with one request.
struct ScriptedAnswer {
    enum class Delivery {
        Respond,        // send status, headers and body
        DropConnection, // close the connection without an answer
        NeverRespond,   // keep the connection open and silent
        Stream,         // send a body of streamedBytes filler bytes with no length, then close
    };

    Delivery delivery = Delivery::Respond;
    int status = 200;
    QByteArray body;
    QByteArray contentType = QByteArrayLiteral("application/json");
    QList<QPair<QByteArray, QByteArray>> headers;
    std::chrono::milliseconds delay{0}; // before the delivery (also before a drop)
    qint64 streamedBytes = 0;

    static ScriptedAnswer json(const QJsonObject &object, int status = 200);
    static ScriptedAnswer raw(QByteArray body, int status = 200,
                              QByteArray contentType = QByteArrayLiteral("text/plain"));
    static ScriptedAnswer dropped();
    static ScriptedAnswer never();
    static ScriptedAnswer streamed(qint64 bytes);

    ScriptedAnswer after(std::chrono::milliseconds wait) const;
    ScriptedAnswer withHeader(QByteArray name, QByteArray value) const;
};

// One request as the server received it.
struct RecordedRequest {
    QByteArray method;  // "GET", "POST", …
    QString path;       // relative to the base address, e.g. "poll/<token>"
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;

    QByteArray header(const QByteArray &name) const; // case-insensitive; empty when absent
    QJsonObject jsonBody() const;                    // empty when the body is not a JSON object
};

// A scriptable account server on the loopback interface, built on `LoopbackHttpServer`.
// It serves the account API under "/api/auth/": "poll/<token>" and "refresh/<token>"
// (GET), "account/delete", "email/request" and "email/verify" (POST). A request with
// the wrong method is answered 405, a path outside the API 404.
//
// Answers are scripted by key: a key is a path relative to the base ("poll/abc…",
// "email/verify") or a prefix of one ending in "/" ("poll/" matches every login token).
// For a request, the exact path is tried first, then its prefixes from the longest.
// Under each key, queued answers are used first, in order, then the key's handler,
// then its default. A request no script covers gets 404 {"status": "not_found"}.
class AccountServer : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<ScriptedAnswer(const RecordedRequest &)>;

    explicit AccountServer(QObject *parent = nullptr);
    ~AccountServer() override;

    // Listens on 127.0.0.1 on a free port; false when that fails.
    bool listen();
    quint16 port() const { return m_port; }
    // "http://127.0.0.1:PORT/api/auth/"
    QUrl baseUrl() const;

    void enqueue(const QString &key, ScriptedAnswer answer);
    void setHandler(const QString &key, Handler handler);
    void setDefault(const QString &key, ScriptedAnswer answer);
    void clearScripts();

    QList<RecordedRequest> requests() const { return m_requests; }
    // The requests whose path starts with the prefix ("poll/", "account/delete").
    QList<RecordedRequest> requests(const QString &pathPrefix) const;
    int requestCount(const QString &pathPrefix = QString()) const;
    void clearRequests() { m_requests.clear(); }

    // Filler bytes handed to sockets by Stream answers so far.
    qint64 streamedBytes() const { return m_streamedBytes; }
    // Connections held open by NeverRespond answers, still open.
    int silentConnections() const;
    // Closes the connections of NeverRespond answers.
    void releaseSilentConnections();

Q_SIGNALS:
    void requestReceived(const qor::RecordedRequest &request);

private:
    struct Script {
        std::vector<ScriptedAnswer> queue;
        Handler handler;
        std::optional<ScriptedAnswer> fallback;
    };

    void dispatch(const LoopbackHttpServer::Request &request, QTcpSocket *socket);
    std::optional<ScriptedAnswer> answerFor(const RecordedRequest &request);
    void deliver(const ScriptedAnswer &answer, QTcpSocket *socket);
    void stream(QPointer<QTcpSocket> socket, qint64 remaining);

    std::unique_ptr<LoopbackHttpServer> m_server;
    quint16 m_port = 0;
    QHash<QString, Script> m_scripts;
    QList<RecordedRequest> m_requests;
    std::vector<QPointer<QTcpSocket>> m_silent;
    qint64 m_streamedBytes = 0;
};

} // namespace qor

Q_DECLARE_METATYPE(qor::RecordedRequest)
Q_DECLARE_METATYPE(qor::ScriptedAnswer)
