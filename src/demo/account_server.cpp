#include "account_server.h"

#include <QJsonDocument>
#include <QTcpSocket>
#include <QTimer>

namespace qor {

namespace {

const QString apiPrefix = QStringLiteral("/api/auth/");

// Stream answers send filler in chunks and wait while the client is not reading, so
// a test of a huge body measures the client, not the server's memory.
constexpr qint64 streamChunkBytes = 64 * 1024;
constexpr qint64 streamBacklogBytes = 256 * 1024;

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
    , m_server(std::make_unique<LoopbackHttpServer>(
          [this](const LoopbackHttpServer::Request &request, QTcpSocket *socket) { dispatch(request, socket); }))
{
}

AccountServer::~AccountServer()
{
    m_server.reset();
}

bool AccountServer::listen()
{
    m_port = m_server->listen();
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

void AccountServer::dispatch(const LoopbackHttpServer::Request &request, QTcpSocket *socket)
{
    RecordedRequest recorded;
    recorded.method = request.method;
    const QString fullPath = request.url.path();
    const bool inApi = fullPath.startsWith(apiPrefix);
    recorded.path = inApi ? fullPath.mid(apiPrefix.size()) : fullPath;
    recorded.body = request.body;
    recorded.headers = request.headers;
    m_requests.append(recorded);
    Q_EMIT requestReceived(recorded);

    const QByteArray method = expectedMethod(recorded.path);
    if (!inApi) {
        deliver(jsonStatus("not_found", 404), socket);
    } else if (!method.isEmpty() && method != recorded.method) {
        deliver(jsonStatus("method_not_allowed", 405), socket);
    } else if (auto answer = answerFor(recorded)) {
        deliver(*answer, socket);
    } else {
        deliver(jsonStatus("not_found", 404), socket);
    }
}

void AccountServer::deliver(const ScriptedAnswer &answer, QTcpSocket *connection)
{
    // The socket belongs to the HTTP server and goes away when the client disconnects,
    // so every later use is guarded by this pointer.
    QPointer<QTcpSocket> socket = connection;
    // Always deferred, also without a delay: the server is still reading this request.
    QTimer::singleShot(answer.delay, this, [this, answer, socket] {
        if (!socket || socket->state() != QAbstractSocket::ConnectedState)
            return;
        switch (answer.delivery) {
        case ScriptedAnswer::Delivery::DropConnection:
            socket->abort();
            return;
        case ScriptedAnswer::Delivery::NeverRespond:
            m_silent.push_back(socket);
            return;
        case ScriptedAnswer::Delivery::Stream:
            m_server->beginOpenEndedAnswer(socket, answer.status, answer.contentType, answer.headers);
            stream(socket, answer.streamedBytes);
            return;
        case ScriptedAnswer::Delivery::Respond:
            m_server->respond(socket, answer.status, answer.contentType, answer.body, answer.headers);
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
