#pragma once

#include <QtGlobal>

namespace qor {

// A handle bound to one process for as long as it is held, even if the process
// ends and its id is given to another (a Linux pidfd). Opened only when the
// process is still the one that started at the given time.
class ProcessHandle {
public:
    ProcessHandle() = default;
    ProcessHandle(const ProcessHandle &) = delete;
    ProcessHandle &operator=(const ProcessHandle &) = delete;
    ProcessHandle(ProcessHandle &&other) noexcept;
    ProcessHandle &operator=(ProcessHandle &&other) noexcept;
    ~ProcessHandle();

    // An invalid handle when the process is gone, is not that process any more,
    // or the kernel offers no process handles.
    static ProcessHandle open(qint64 pid, quint64 startTime);

    bool isValid() const { return m_fd >= 0; }
    // Readable once the process has ended.
    int fd() const { return m_fd; }
    qint64 pid() const { return m_pid; }

    // Asks the process to end (SIGTERM). False when it is already gone.
    bool terminate() const;

private:
    int m_fd = -1;
    qint64 m_pid = 0;
};

// Whether the kernel offers process handles (Linux 5.3 and later).
bool processHandlesSupported();

// Sends SIGTERM to pid only while it is still the process that started at
// startTime, so a recycled process id is never hit.
bool terminateProcess(qint64 pid, quint64 startTime);

} // namespace qor
