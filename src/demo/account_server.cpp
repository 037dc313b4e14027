#include "account_server.h"

#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonDocument>
#include <QMetaEnum>
#include <QTcpSocket>
#include <QTimer>

namespace qor {

namespace {

const QString apiPrefix = QStringLiteral("/api/auth/");

// Stream answers send filler in chunks and wait while the client is not reading, so
// a test of a huge body measures the client, not the server's memory.
constexpr qint64 streamChunkBytes = 64 * 1024;
constexpr qint64 streamBacklogBytes = 256 * 1024;

QByteArray methodName(QHttpServerRequest::Method method)
{
    const char *key = QMetaEnum::fromType<QHttpServerRequest::Method>().valueToKey(int(method));
    return key ? QByteArray(key).toUpper() : QByteArrayLiteral("UNKNOWN");
}

// The method each route of the account API accepts; empty for paths outside it.
QByteArray expectedMethod(const QString &path)
{
    if (path.startsWith(u"poll/") || path.startsWith(u"refresh/"))
        return QByteArrayLiteral("GET");
    if (path == u"account/delete" || path == u"email/request" || path == u"email/verify")
        return QByteArrayLiteral("POST");
    return {};
}

ScriptedAnswer jsonStatus(const char *status, int code)
{
    return ScriptedAnswer::json({{QStringLiteral("status"), QString::fromLatin1(status)}}, code);
}

} // namespace

ScriptedAnswer ScriptedAnswer::json(const QJsonObject &object, int status)
{
    ScriptedAnswer answer;
    answer.status = status;
    answer.body = QJsonDocument(object).toJson(QJsonDocument::Compact);
    return answer;
}

ScriptedAnswer ScriptedAnswer::raw(QByteArray body, int status, QByteArray contentType)
{
    ScriptedAnswer answer;
    answer.status = status;
    answer.body = std::move(body);
    answer.contentType = std::move(contentType);
    return answer;
}

ScriptedAnswer ScriptedAnswer::dropped()
{
    ScriptedAnswer answer;
    answer.delivery = Delivery::DropConnection;
    return answer;
}

ScriptedAnswer ScriptedAnswer::never()
{
    ScriptedAnswer answer;
    answer.delivery = Delivery::NeverRespond;
    return answer;
}

ScriptedAnswer ScriptedAnswer::streamed(qint64 bytes)
{
    ScriptedAnswer answer;
    answer.delivery = Delivery::Stream;
    answer.streamedBytes = bytes;
    answer.contentType = QByteArrayLiteral("application/octet-stream");
    return answer;
}

ScriptedAnswer ScriptedAnswer::after(std::chrono::milliseconds wait) const
{
    ScriptedAnswer answer = *this;
    answer.delay = wait;
    return answer;
}

ScriptedAnswer ScriptedAnswer::withHeader(QByteArray name, QByteArray value) const
{
    ScriptedAnswer answer = *this;
    answer.headers.append({std::move(name), std::move(value)});
    return answer;
}

QByteArray RecordedRequest::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

QJsonObject RecordedRequest::jsonBody() const
{
    return QJsonDocument::fromJson(body).object();
}

AccountServer::AccountServer(QObject *parent)
    : QObject(parent)
    , m_server(std::make_unique<QHttpServer>())
{
    // Every path goes through the script, so the router's own patterns (which would
    // reject some token characters) are not used: all requests reach this handler.
    m_server->setMissingHandler([this](const QHttpServerRequest &request, QHttpServerResponder &&responder) {
        dispatch(request, std::move(responder));
    });
}

AccountServer::~AccountServer()
{
    m_heldResponders.clear();
    m_server.reset();
}

bool AccountServer::listen()
{
    m_port = m_server->listen(QHostAddress::LocalHost, 0);
    return m_port != 0;
}

QUrl AccountServer::baseUrl() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(apiPrefix));
}

void AccountServer::enqueue(const QString &key, ScriptedAnswer answer)
{
    m_scripts[key].queue.push_back(std::move(answer));
}

void AccountServer::setHandler(const QString &key, Handler handler)
{
    m_scripts[key].handler = std::move(handler);
}

void AccountServer::setDefault(const QString &key, ScriptedAnswer answer)
{
    m_scripts[key].fallback = std::move(answer);
}

void AccountServer::clearScripts()
{
    m_scripts.clear();
}

QList<RecordedRequest> AccountServer::requests(const QString &pathPrefix) const
{
    QList<RecordedRequest> found;
    for (const RecordedRequest &request : m_requests) {
        if (request.path.startsWith(pathPrefix))
            found.append(request);
    }
    return found;
}

int AccountServer::requestCount(const QString &pathPrefix) const
{
    return int(requests(pathPrefix).size());
}

int AccountServer::silentConnections() const
{
    return int(std::count_if(m_silent.begin(), m_silent.end(), [](const QPointer<QTcpSocket> &socket) {
        return socket && socket->state() == QAbstractSocket::ConnectedState;
    }));
}

void AccountServer::releaseSilentConnections()
{
    for (const QPointer<QTcpSocket> &socket : m_silent) {
        if (socket)
            socket->abort();
    }
    m_silent.clear();
    m_heldResponders.clear();
}

std::optional<ScriptedAnswer> AccountServer::answerFor(const RecordedRequest &request)
{
    // The exact path first, then each prefix ending in "/", longest first.
    QStringList keys{request.path};
    for (qsizetype slash = request.path.lastIndexOf(u'/'); slash >= 0;
         slash = slash > 0 ? request.path.lastIndexOf(u'/', slash - 1) : -1) {
        keys.append(request.path.left(slash + 1));
    }
    for (const QString &key : keys) {
        const auto found = m_scripts.find(key);
        if (found == m_scripts.end())
            continue;
        Script &script = found.value();
        if (!script.queue.empty()) {
            ScriptedAnswer answer = std::move(script.queue.front());
            script.queue.erase(script.queue.begin());
            return answer;
        }
        if (script.handler)
            return script.handler(request);
        if (script.fallback)
            return script.fallback;
    }
    return std::nullopt;
}

void AccountServer::dispatch(const QHttpServerRequest &request, QHttpServerResponder &&responder)
{
    RecordedRequest recorded;
    recorded.method = methodName(request.method());
    const QString fullPath = request.url().path();
    const bool inApi = fullPath.startsWith(apiPrefix);
    recorded.path = inApi ? fullPath.mid(apiPrefix.size()) : fullPath;
    recorded.body = request.body();
    recorded.headers = request.headers();
    m_requests.append(recorded);
    Q_EMIT requestReceived(recorded);

    auto held = std::make_shared<QHttpServerResponder>(std::move(responder));
    const QByteArray method = expectedMethod(recorded.path);
    if (!inApi) {
        deliver(jsonStatus("not_found", 404), held);
    } else if (!method.isEmpty() && method != recorded.method) {
        deliver(jsonStatus("method_not_allowed", 405), held);
    } else if (auto answer = answerFor(recorded)) {
        deliver(*answer, held);
    } else {
        deliver(jsonStatus("not_found", 404), held);
    }
}

void AccountServer::deliver(const ScriptedAnswer &answer, std::shared_ptr<QHttpServerResponder> responder)
{
    // The socket belongs to the HTTP server and goes away when the client disconnects;
    // the responder does not notice, so every use is guarded by this pointer.
    QPointer<QTcpSocket> socket = responder->socket();
    // Always deferred, also without a delay: the server is still reading this request.
    QTimer::singleShot(answer.delay, this, [this, answer, responder, socket] {
        if (!socket || socket->state() != QAbstractSocket::ConnectedState)
            return;
        switch (answer.delivery) {
        case ScriptedAnswer::Delivery::DropConnection:
            socket->abort();
            return;
        case ScriptedAnswer::Delivery::NeverRespond:
            m_silent.push_back(socket);
            m_heldResponders.push_back(responder);
            return;
        case ScriptedAnswer::Delivery::Stream:
            responder->writeStatusLine(QHttpServerResponder::StatusCode(answer.status));
            responder->writeHeader(QByteArrayLiteral("Content-Type"), answer.contentType);
            responder->writeHeader(QByteArrayLiteral("Connection"), QByteArrayLiteral("close"));
            for (const auto &[name, value] : answer.headers)
                responder->writeHeader(name, value);
            responder->writeBody(QByteArray()); // ends the header block
            stream(socket, answer.streamedBytes);
            return;
        case ScriptedAnswer::Delivery::Respond:
            responder->writeStatusLine(QHttpServerResponder::StatusCode(answer.status));
            responder->writeHeader(QByteArrayLiteral("Content-Type"), answer.contentType);
            for (const auto &[name, value] : answer.headers)
                responder->writeHeader(name, value);
            responder->writeHeader(QByteArrayLiteral("Content-Length"), QByteArray::number(answer.body.size()));
            responder->writeBody(answer.body);
            return;
        }
    });
}

void AccountServer::stream(QPointer<QTcpSocket> socket, qint64 remaining)
{
    auto left = std::make_shared<qint64>(remaining);
    auto pump = [this, socket, left] {
        if (!socket)
            return;
        while (*left > 0 && socket->bytesToWrite() < streamBacklogBytes) {
            const qint64 chunk = std::min(streamChunkBytes, *left);
            socket->write(QByteArray(chunk, 'x'));
            *left -= chunk;
            m_streamedBytes += chunk;
        }
        if (*left == 0 && socket->bytesToWrite() == 0)
            socket->disconnectFromHost();
    };
    connect(socket, &QTcpSocket::bytesWritten, this, pump);
    pump();
}

} // namespace qor
