#include "core/cascade_document.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>

using namespace qor;

class TestCascadeDocument : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void portIsABareNumber()
    {
        const QString text = CascadeDocument::filled(1080);
        QVERIFY(!text.contains(QStringLiteral("__TAVRIN_PORT__")));
        QVERIFY(text.contains(QStringLiteral("\"port\": 1080\n")));
        QVERIFY(!text.contains(QStringLiteral("\"1080\"")));
        // Only the placeholder changes.
        const QString placeholder = QStringLiteral("__TAVRIN_PORT__");
        const QString &tmpl = CascadeDocument::templateText();
        const auto at = tmpl.indexOf(placeholder);
        QCOMPARE(tmpl.count(placeholder), 1);
        QCOMPARE(text.left(at), tmpl.left(at));
        QCOMPARE(text.mid(at, 4), QStringLiteral("1080"));
        QCOMPARE(text.mid(at + 4), tmpl.mid(at + placeholder.size()));
    }

    void documentShape()
    {
        QJsonParseError error;
        const QJsonObject doc = QJsonDocument::fromJson(CascadeDocument::filled(1080).toUtf8(), &error).object();
        QCOMPARE(error.error, QJsonParseError::NoError);
        QCOMPARE(doc.keys().size(), 5);
        QCOMPARE(doc[QStringLiteral("log")][QStringLiteral("loglevel")].toString(), QStringLiteral("warning"));

        const QJsonObject dns = doc[QStringLiteral("dns")].toObject();
        const QJsonArray servers = dns[QStringLiteral("servers")].toArray();
        QCOMPARE(servers.size(), 2);
        for (const auto &server : servers)
            QVERIFY(server.toString().startsWith(QStringLiteral("tcp://")));
        QCOMPARE(dns[QStringLiteral("queryStrategy")].toString(), QStringLiteral("UseIPv4"));
        QCOMPARE(dns[QStringLiteral("disableFallback")], QJsonValue(false));

        const QJsonObject inbound = doc[QStringLiteral("inbounds")].toArray().at(0).toObject();
        QCOMPARE(inbound[QStringLiteral("port")].toInt(), 10808);
        QCOMPARE(inbound[QStringLiteral("listen")].toString(), QStringLiteral("127.0.0.1"));
        QCOMPARE(inbound[QStringLiteral("protocol")].toString(), QStringLiteral("socks"));

        QStringList outboundTags;
        for (const auto &outbound : doc[QStringLiteral("outbounds")].toArray())
            outboundTags.append(outbound[QStringLiteral("tag")].toString());
        QCOMPARE(outboundTags, (QStringList{"tavrin", "dns-out", "direct", "block"}));
        const QJsonObject tavrinServer = doc[QStringLiteral("outbounds")][0][QStringLiteral("settings")][QStringLiteral("servers")][0].toObject();
        QCOMPARE(tavrinServer[QStringLiteral("port")], QJsonValue(1080));
        QCOMPARE(tavrinServer[QStringLiteral("address")].toString(), QStringLiteral("127.0.0.1"));

        QStringList ruleTargets;
        for (const auto &rule : doc[QStringLiteral("routing")][QStringLiteral("rules")].toArray())
            ruleTargets.append(rule[QStringLiteral("outboundTag")].toString());
        QCOMPARE(ruleTargets, (QStringList{"direct", "dns-out", "block", "tavrin"}));
        QCOMPARE(doc[QStringLiteral("routing")][QStringLiteral("rules")][1][QStringLiteral("port")], QJsonValue(53));
        QCOMPARE(doc[QStringLiteral("routing")][QStringLiteral("rules")][0][QStringLiteral("ip")].toArray().size(), 5);
    }

    void memberOrderAndIndentation()
    {
        const QString text = CascadeDocument::templateText();
        const QStringList top{"\"log\"", "\"dns\"", "\"inbounds\"", "\"outbounds\"", "\"routing\""};
        qsizetype last = -1;
        for (const QString &member : top) {
            const auto at = text.indexOf(QStringLiteral("\n  ") + member);
            QVERIFY2(at > last, qPrintable(member));
            last = at;
        }
        // Two-space indentation: every indented line has an even number of leading blanks, no tabs.
        for (const QString &line : text.split(QLatin1Char('\n'))) {
            const auto indent = line.size() - QString(line).remove(QRegularExpression(QStringLiteral("^ +"))).size();
            QCOMPARE(indent % 2, 0);
            QVERIFY(!line.contains(QLatin1Char('\t')));
        }
    }
};

QTEST_GUILESS_MAIN(TestCascadeDocument)
#include "test_cascade_document.moc"
