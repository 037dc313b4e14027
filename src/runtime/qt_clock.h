#pragma once

#include "clock.h"

namespace qor {

class QtClock final : public Clock {
public:
    QDateTime now() const override;
    std::chrono::milliseconds elapsed() const override;
    QCoro::Task<bool> sleep(std::chrono::milliseconds duration, CancelToken token = {}) override;

    // The process-wide instance, for the composition roots only.
    static QtClock &shared();
};

} // namespace qor
