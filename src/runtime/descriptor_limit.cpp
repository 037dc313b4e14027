#include "descriptor_limit.h"

#include <QDir>

#include <sys/resource.h>

#include <algorithm>

namespace qor::descriptors {

long raiseSoftLimitToHard()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY ? -1 : long(limit.rlim_cur);
}

int availableBudget(int reserve)
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 1;
    const long soft = limit.rlim_cur == RLIM_INFINITY ? 1L << 20 : long(limit.rlim_cur);
    const long open = long(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
    return int(std::clamp<long>(soft - open - reserve, 1, 1L << 20));
}

} // namespace qor::descriptors
