#include "runtime/descriptor_limit.h"

#include <QTest>

#include <sys/resource.h>
#include <unistd.h>

#include <vector>

using namespace qor;

class TestDescriptorLimit : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void softLimitIsRaisedToHard()
    {
        rlimit before{};
        QCOMPARE(getrlimit(RLIMIT_NOFILE, &before), 0);
        rlimit lowered = before;
        lowered.rlim_cur = std::min<rlim_t>(before.rlim_max, 512);
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &lowered), 0);
        const long soft = descriptors::raiseSoftLimitToHard();
        rlimit after{};
        QCOMPARE(getrlimit(RLIMIT_NOFILE, &after), 0);
        QCOMPARE(after.rlim_cur, before.rlim_max);
        if (after.rlim_cur != RLIM_INFINITY)
            QCOMPARE(soft, long(after.rlim_cur));
    }

    void budgetShrinksWithOpenDescriptorsAndKeepsTheReserve()
    {
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        rlimit small = limit;
        small.rlim_cur = 400;
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &small), 0);
        const int before = descriptors::availableBudget(100);
        QVERIFY(before > 0 && before < 300);
        std::vector<int> opened;
        for (int i = 0; i < 20; ++i)
            opened.push_back(dup(0));
        QCOMPARE(descriptors::availableBudget(100), before - 20);
        QCOMPARE(descriptors::availableBudget(1000), 1); // never below one
        for (int fd : opened)
            close(fd);
        setrlimit(RLIMIT_NOFILE, &limit);
    }
};

QTEST_GUILESS_MAIN(TestDescriptorLimit)
#include "test_descriptor_limit.moc"
