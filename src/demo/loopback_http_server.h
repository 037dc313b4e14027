#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QUrl>

#include <functional>
#include <memory>

class QTcpServer;
class QTcpSocket;

namespace qor {

// A plain HTTP/1.1 server on 127.0.0.1 for the demo's and the tests' loopback
// endpoints. It reads requests with a length (or none), keeps connections open between
// them and leaves every answer to its handler, which may answer at once or later.
//
// It exists because Qt HTTP Server (6.4) loads the TLS backend, with libssl and
// libcrypto, when it is constructed: about 10 ms and 3 MiB for every demo start,
// for servers that only ever speak plain HTTP on the loopback.
class LoopbackHttpServer : public QObject {
    Q_OBJECT
public:
    struct Request {
        QByteArray method; // "GET", "POST", …
        QUrl url;          // path and query as sent
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray body;
    };
    // The socket stays valid until it disconnects; guard deferred answers with a QPointer.
    using Handler = std::function<void(const Request &, QTcpSocket *)>;

    explicit LoopbackHttpServer(Handler handler, QObject *parent = nullptr);
    ~LoopbackHttpServer() override;

    // The port listened on (a free one for 0); 0 when listening fails.
    quint16 listen(quint16 port = 0);

    // A whole answer with its length. The connection then serves the next request,
    // unless the request asked to close it. Requests on one connection are handed to
    // the handler one at a time, each after the previous one's answer, so answers keep
    // their order.
    void respond(QTcpSocket *socket, int status, const QByteArray &contentType, const QByteArray &body,
                 const QList<QPair<QByteArray, QByteArray>> &headers = {});
    // The status line and headers of an answer without a length: the body that the
    // caller writes next ends when the caller closes the connection.
    void beginOpenEndedAnswer(QTcpSocket *socket, int status, const QByteArray &contentType,
                              const QList<QPair<QByteArray, QByteArray>> &headers = {});

private:
    struct Connection {
        QByteArray unread;
        bool awaitingAnswer = false;
        bool closeAfterAnswer = false;
    };

    void accept();
    void read(QTcpSocket *socket);

    Handler m_handler;
    std::unique_ptr<QTcpServer> m_server;
    QHash<QTcpSocket *, Connection> m_connections;
};

} // namespace qor
