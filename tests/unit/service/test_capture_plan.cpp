// The main channel's capture rules: what is left outside, and that nftables accepts the
// script (checked, never applied, in a private network namespace).

#include "service/capture_plan.h"

#include <QProcess>
#include <QTest>

#include <unistd.h>

using namespace qor::service;

class TestCapturePlan : public QObject {
    Q_OBJECT

    static capture_plan::Settings settings()
    {
        capture_plan::Settings s;
        s.servers = {QHostAddress(QStringLiteral("192.0.2.2")), QHostAddress(QStringLiteral("2001:db8::2"))};
        s.bypass = {QHostAddress(QStringLiteral("198.51.100.7"))};
        return s;
    }

private Q_SLOTS:
    void outsideAndCounted()
    {
        const QString script = QString::fromUtf8(capture_plan::nftScript(settings()));
        for (const char *outside : {"127.0.0.0/8", "192.168.0.0/16", "192.0.2.2", "198.51.100.7", "fe80::/10", "2001:db8::2"})
            QVERIFY2(script.contains(QLatin1String(outside)), outside);
        // The core's own packets are never marked for capture, DNS always is.
        QVERIFY(script.contains("meta skgid 51889 goto core") && script.contains("meta mark 51889 goto core"));
        QVERIFY(script.indexOf("th dport 53") < script.indexOf("ip daddr @outside4 return"));

        EnginePaths paths;
        paths.ip = QStringLiteral("ip");
        paths.nft = QStringLiteral("nft");
        const auto plan = capture_plan::forSettings(settings(), paths);
        QCOMPARE(plan.apply.first().arguments.join(' '), QStringLiteral("-4 rule add fwmark 51890 table 51890 priority 31200"));
        QCOMPARE(plan.apply.last().input, capture_plan::nftScript(settings()));
        QVERIFY(std::all_of(plan.undo.begin(), plan.undo.end(), [](const SystemCommand &c) { return c.mayFail; }));
    }

    void nftablesAcceptsTheScript()
    {
        if (::geteuid() != 0 || !QFile::exists(QStringLiteral("/usr/sbin/nft")))
            QSKIP("checking an nftables script needs root and nft");
        QProcess nft;
        nft.setProcessChannelMode(QProcess::MergedChannels);
        nft.start(QStringLiteral("unshare"), {"-n", "/usr/sbin/nft", "-c", "-f", "-"});
        nft.write(capture_plan::nftScript(settings()));
        nft.closeWriteChannel();
        QVERIFY(nft.waitForFinished(20000));
        QVERIFY2(nft.exitCode() == 0, nft.readAll().constData());
    }
};

QTEST_GUILESS_MAIN(TestCapturePlan)
#include "test_capture_plan.moc"
