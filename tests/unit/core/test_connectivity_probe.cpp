#include "core/connectivity_probe.h"
#include "runtime/deployment.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using namespace qor;
using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

// What counts as an answer; test_connect_live's channel check meets a 404 and silence.
class TestConnectivityProbe : public QObject {
    Q_OBJECT
    // Answers GET /<status> with that HTTP status; GET /silent is accepted and never answered.
    QTcpServer server;
    QStringList urls(const QStringList &paths) const
    {
        QStringList list;
        for (const QString &path : paths)
            list.append(u"http://127.0.0.1:%1/%2"_s.arg(server.serverPort()).arg(path));
        return list;
    }
    static bool probe(const QStringList &urls, std::chrono::milliseconds timeout = 400ms)
    {
        const ConnectivityProbe probe(urls, timeout);
        std::optional<bool> result;
        auto run = [&]() -> QCoro::Task<> { result = co_await probe.probe(); }; // outlives the coroutine
        run();
        if (!QTest::qWaitFor([&] { return result.has_value(); }, 10000))
            qFatal("probe did not finish"); // its coroutine still refers to this frame
        return *result;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QObject::connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = server.nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                    const QByteArray path = socket->readAll().split(' ').value(1);
                    if (path != "/silent") {
                        socket->write("HTTP/1.1 " + path.mid(1) + " X\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
                        socket->disconnectFromHost();
                    }
                });
            }
        });
        QVERIFY(server.listen(QHostAddress::LocalHost));
    }

    void answers()
    {
        // 200 to 499 count, a redirect included; the first that counts decides.
        const QList<std::pair<QStringList, bool>> table{{{"204"}, true},         {{"200"}, true},           {{"499"}, true},
                                                        {{"302"}, true},         {{"500", "404"}, true},    {{"500", "503", "599"}, false},
                                                        {{"silent", "500"}, false}, {{}, false}};
        for (const auto &[paths, expected] : table)
            QVERIFY2(probe(urls(paths)) == expected, qPrintable(paths.join(u',')));
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const auto port = closed.serverPort();
        closed.close(); // nothing listens there any more: the connection is refused
        QVERIFY(!probe({u"http://127.0.0.1:%1/generate_204"_s.arg(port), u"not a url"_s}, 2s));
        // Three endpoints never answer; the one that does decides long before their limit.
        QElapsedTimer timer;
        timer.start();
        QVERIFY(probe(urls({"silent", "silent", "204", "silent"}), 30s));
        QVERIFY(timer.elapsed() < 10000);
    }

    // A build's own probes: public hosts, none reserved for examples, one page of each kind. Never contacted here.
    void builtInAddresses()
    {
        qunsetenv("QOR_PROBE_URLS");
        const QRegularExpression reserved(u"(^|\\.)(example(\\.(com|net|org))?|test|invalid|localhost)$"_s);
        QStringList paths;
        QSet<QString> hosts;
        for (const QString &text : deployment::probeUrls()) {
            const QUrl url(text, QUrl::StrictMode);
            QVERIFY2(url.isValid() && (url.scheme() == "http" || url.scheme() == "https") && !reserved.match(url.host()).hasMatch(), qPrintable(text));
            paths.append(url.path());
            hosts.insert(url.host());
        }
        QCOMPARE(paths, (QStringList{"/generate_204", "/generate_204", "/cdn-cgi/trace", "/check_network_status.txt"}));
        QCOMPARE(hosts.size(), 4);
    }
};

QTEST_GUILESS_MAIN(TestConnectivityProbe)
#include "test_connectivity_probe.moc"
