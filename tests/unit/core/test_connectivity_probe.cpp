#include "core/connectivity_probe.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using namespace qor;
using namespace std::chrono_literals;

namespace {

// Answers GET /<status> with that HTTP status; GET /silent is accepted and never answered.
class StatusServer : public QObject {
public:
    StatusServer()
    {
        QObject::connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = server.nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                    const QByteArray request = socket->readAll();
                    const QByteArray path = request.split(' ').value(1);
                    if (path == "/silent")
                        return;
                    const QByteArray status = path.mid(1);
                    socket->write("HTTP/1.1 " + status + " X\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
                    socket->disconnectFromHost();
                });
            }
        });
        server.listen(QHostAddress::LocalHost);
    }
    QString url(const QString &path) const
    {
        return QStringLiteral("http://127.0.0.1:%1/%2").arg(server.serverPort()).arg(path);
    }
    QTcpServer server;
};

bool runProbe(const ConnectivityProbe &probe)
{
    std::optional<bool> result;
    auto task = [&]() -> QCoro::Task<> { result = co_await probe.probe(); };
    task();
    if (!QTest::qWaitFor([&] { return result.has_value(); }, 10000))
        qFatal("probe did not finish");
    return *result;
}

} // namespace

class TestConnectivityProbe : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void answers_data()
    {
        QTest::addColumn<QStringList>("paths");
        QTest::addColumn<bool>("expected");
        QTest::newRow("204") << QStringList{"204"} << true;
        QTest::newRow("a 4xx answer counts") << QStringList{"500", "404"} << true;
        QTest::newRow("403 counts") << QStringList{"403"} << true;
        QTest::newRow("a redirect counts") << QStringList{"302"} << true;
        QTest::newRow("200 lower bound") << QStringList{"200"} << true;
        QTest::newRow("499 upper bound") << QStringList{"499"} << true;
        QTest::newRow("only server errors") << QStringList{"500", "503", "599", "500"} << false;
        QTest::newRow("silent and failing") << QStringList{"silent", "500"} << false;
    }

    void answers()
    {
        QFETCH(QStringList, paths);
        QFETCH(bool, expected);
        StatusServer server;
        QStringList urls;
        for (const QString &path : paths)
            urls.append(server.url(path));
        QCOMPARE(runProbe(ConnectivityProbe(urls, 400ms)), expected);
    }

    void firstAnswerEndsTheProbe()
    {
        // Three endpoints never answer; the one that does decides long before their limit.
        StatusServer server;
        const ConnectivityProbe probe({server.url("silent"), server.url("silent"), server.url("204"), server.url("silent")}, 30s);
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(runProbe(probe), true);
        QVERIFY(timer.elapsed() < 10000);
    }

    void refusedAndMalformedAddresses()
    {
        QTcpServer closed;
        closed.listen(QHostAddress::LocalHost);
        const auto port = closed.serverPort();
        closed.close(); // nothing listens there any more: the connection is refused
        const ConnectivityProbe probe({QStringLiteral("http://127.0.0.1:%1/generate_204").arg(port), QStringLiteral("not a url")}, 2s);
        QCOMPARE(runProbe(probe), false);
        QCOMPARE(runProbe(ConnectivityProbe({}, 1s)), false);
    }
};

QTEST_GUILESS_MAIN(TestConnectivityProbe)
#include "test_connectivity_probe.moc"
