#include "loopback_http_server.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

namespace qor {

namespace {

constexpr qsizetype maxHeadBytes = 64 * 1024;
constexpr qint64 maxBodyBytes = 16 * 1024 * 1024;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Content Too Large";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

void writeHead(QTcpSocket *socket, int status, const QByteArray &contentType,
               const QList<QPair<QByteArray, QByteArray>> &headers, const QByteArray &lastHeaders)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
    if (!contentType.isEmpty())
        head += "Content-Type: " + contentType + "\r\n";
    for (const auto &[name, value] : headers)
        head += name + ": " + value + "\r\n";
    head += lastHeaders + "\r\n";
    socket->write(head);
}

// Answers a request the server cannot read and closes the connection.
void refuse(QTcpSocket *socket, int status)
{
    writeHead(socket, status, {}, {}, "Content-Length: 0\r\nConnection: close\r\n");
    socket->disconnectFromHost();
}

} // namespace

LoopbackHttpServer::LoopbackHttpServer(Handler handler, QObject *parent)
    : QObject(parent), m_handler(std::move(handler)), m_server(std::make_unique<QTcpServer>())
{
    connect(m_server.get(), &QTcpServer::newConnection, this, &LoopbackHttpServer::accept);
}

LoopbackHttpServer::~LoopbackHttpServer()
{
    // The sockets are the server's children; their signals must not reach this half-gone object.
    m_server->disconnect(this);
    for (QTcpSocket *socket : m_server->findChildren<QTcpSocket *>())
        socket->disconnect(this);
}

quint16 LoopbackHttpServer::listen(quint16 port)
{
    if (!m_server->listen(QHostAddress::LocalHost, port))
        return 0;
    return m_server->serverPort();
}

void LoopbackHttpServer::accept()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        m_connections.insert(socket, {});
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_connections.remove(socket);
            socket->deleteLater();
        });
        read(socket);
    }
}

void LoopbackHttpServer::read(QTcpSocket *socket)
{
    const auto found = m_connections.find(socket);
    if (found == m_connections.end() || socket->state() != QAbstractSocket::ConnectedState)
        return;
    Connection &connection = found.value();
    connection.unread += socket->readAll();
    if (connection.awaitingAnswer)
        return;

    QByteArray &unread = connection.unread;
    const qsizetype headEnd = unread.indexOf("\r\n\r\n");
    if (headEnd < 0) {
        if (unread.size() > maxHeadBytes)
            refuse(socket, 431);
        return;
    }
    const QList<QByteArray> lines = unread.left(headEnd).split('\n');
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    if (requestLine.size() != 3 || !requestLine.at(2).startsWith("HTTP/1.")) {
        refuse(socket, 400);
        return;
    }
    Request request;
    request.method = requestLine.at(0);
    request.url = QUrl::fromEncoded(requestLine.at(1));
    qint64 length = 0;
    bool close = requestLine.at(2) == "HTTP/1.0";
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines.at(i).indexOf(':');
        if (colon <= 0) {
            refuse(socket, 400);
            return;
        }
        const QByteArray name = lines.at(i).left(colon).trimmed();
        const QByteArray value = lines.at(i).mid(colon + 1).trimmed();
        request.headers.append({name, value});
        const QByteArray key = name.toLower();
        bool ok = true;
        if (key == "content-length")
            length = value.toLongLong(&ok);
        else if (key == "transfer-encoding")
            ok = false; // no client of these servers sends chunked bodies
        else if (key == "connection")
            close = value.toLower() == "close" || (close && value.toLower() != "keep-alive");
        if (!ok || length < 0) {
            refuse(socket, key == "transfer-encoding" ? 501 : 400);
            return;
        }
    }
    if (length > maxBodyBytes) {
        refuse(socket, 413);
        return;
    }
    const qsizetype bodyStart = headEnd + 4;
    if (unread.size() - bodyStart < length)
        return;
    request.body = unread.mid(bodyStart, length);
    unread.remove(0, bodyStart + length);
    connection.awaitingAnswer = true;
    connection.closeAfterAnswer = close;
    m_handler(request, socket); // may answer, and so touch the connection, at once
}

void LoopbackHttpServer::respond(QTcpSocket *socket, int status, const QByteArray &contentType,
                                 const QByteArray &body, const QList<QPair<QByteArray, QByteArray>> &headers)
{
    const auto found = m_connections.find(socket);
    if (found == m_connections.end() || !found->awaitingAnswer)
        return;
    const bool close = found->closeAfterAnswer;
    writeHead(socket, status, contentType, headers,
              "Content-Length: " + QByteArray::number(body.size()) + "\r\n"
                  + (close ? QByteArrayLiteral("Connection: close\r\n") : QByteArray()));
    socket->write(body);
    if (close) {
        socket->disconnectFromHost();
        return;
    }
    found->awaitingAnswer = false;
    // The next request may already be waiting; read it from the event loop, not from
    // inside this answer.
    if (!found->unread.isEmpty())
        QMetaObject::invokeMethod(this, [this, socket = QPointer<QTcpSocket>(socket)] {
            if (socket)
                read(socket);
        }, Qt::QueuedConnection);
}

void LoopbackHttpServer::beginOpenEndedAnswer(QTcpSocket *socket, int status, const QByteArray &contentType,
                                              const QList<QPair<QByteArray, QByteArray>> &headers)
{
    const auto found = m_connections.find(socket);
    if (found == m_connections.end() || !found->awaitingAnswer)
        return;
    // The connection reads no further request: the caller ends this body by closing it.
    writeHead(socket, status, contentType, headers, "Connection: close\r\n");
}

} // namespace qor
