#include "process_handle.h"

#include "provider_state.h"

#include <cerrno>
#include <csignal>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>

namespace qor {

ProcessHandle::ProcessHandle(ProcessHandle &&other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_pid(std::exchange(other.m_pid, 0))
{
}

ProcessHandle &ProcessHandle::operator=(ProcessHandle &&other) noexcept
{
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = std::exchange(other.m_fd, -1);
        m_pid = std::exchange(other.m_pid, 0);
    }
    return *this;
}

ProcessHandle::~ProcessHandle()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

ProcessHandle ProcessHandle::open(qint64 pid, quint64 startTime)
{
    ProcessHandle handle;
    if (pid <= 0)
        return handle;
    const int fd = int(::syscall(SYS_pidfd_open, pid_t(pid), 0));
    if (fd < 0)
        return handle;
    // Checked after opening: if the process that has this id now started at the
    // recorded time, it had the id when the handle was opened, so the handle is its.
    if (!process_identity::isSame(pid, startTime)) {
        ::close(fd);
        return handle;
    }
    handle.m_fd = fd;
    handle.m_pid = pid;
    return handle;
}

bool ProcessHandle::terminate() const
{
    if (m_fd < 0)
        return false;
    return ::syscall(SYS_pidfd_send_signal, m_fd, SIGTERM, nullptr, 0) == 0;
}

bool processHandlesSupported()
{
    static const bool supported = [] {
        const int fd = int(::syscall(SYS_pidfd_open, ::getpid(), 0));
        if (fd < 0)
            return errno != ENOSYS;
        ::close(fd);
        return true;
    }();
    return supported;
}

bool terminateProcess(qint64 pid, quint64 startTime)
{
    if (!processHandlesSupported()) {
        // Kernels before 5.3: the check and the signal are two steps.
        return process_identity::isSame(pid, startTime) && ::kill(pid_t(pid), SIGTERM) == 0;
    }
    const ProcessHandle handle = ProcessHandle::open(pid, startTime);
    return handle.isValid() && handle.terminate();
}

} // namespace qor
