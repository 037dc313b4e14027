#include "connect_waiter.h"

#include "off_thread.h"

#include <QPromise>

#include <algorithm>
#include <cerrno>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace qor::net {

namespace {

using Clock = std::chrono::steady_clock;
using Result = std::optional<std::chrono::nanoseconds>;

// One call of openTcpAsync. At any moment exactly one party owns it (a pool task
// setting up the next socket, or the waiter thread), and that party finishes it.
struct Attempt {
    QList<QHostAddress> addresses;
    qsizetype next = 0;
    quint16 port = 0;
    bool avoidTunnel = false;
    Deadline deadline;
    std::shared_ptr<const TunnelBypass> bypass;
    std::optional<Clock::time_point> firstStart;
    QPromise<Result> promise;

    void finish(Result result)
    {
        promise.addResult(result);
        promise.finish();
    }
};
using AttemptPtr = std::shared_ptr<Attempt>;

void startNext(const AttemptPtr &attempt);

// Watches the sockets of every attempt in flight on one thread of its own.
class Waiter {
public:
    static Waiter &shared()
    {
        static Waiter *waiter = new Waiter; // lives as long as the process, like its thread
        return *waiter;
    }

    // Takes over a socket whose connect() is in progress. Thread-safe.
    void watch(int fd, AttemptPtr attempt)
    {
        {
            std::lock_guard lock(m_mutex);
            m_incoming.emplace_back(fd, std::move(attempt));
        }
        const quint64 one = 1;
        [[maybe_unused]] const auto n = ::write(m_wake, &one, sizeof one);
    }

    bool isUsable() const { return m_epoll >= 0 && m_wake >= 0; }

private:
    struct Watched {
        AttemptPtr attempt;
        std::multimap<Deadline, int>::iterator expiry;
    };

    Waiter()
        : m_epoll(::epoll_create1(EPOLL_CLOEXEC)), m_wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
    {
        if (!isUsable())
            return;
        struct epoll_event event {};
        event.events = EPOLLIN;
        event.data.fd = m_wake;
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &event);
        std::thread([this] { run(); }).detach();
    }

    void run()
    {
        std::vector<struct epoll_event> events(256);
        for (;;) {
            int timeout = -1;
            if (!m_expiries.empty()) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(m_expiries.begin()->first - Clock::now());
                timeout = int(std::clamp<qint64>(left.count(), 0, 60000));
            }
            const int n = ::epoll_wait(m_epoll, events.data(), int(events.size()), timeout);
            // Read once for the whole batch: the moment the kernel reported these sockets.
            const auto now = Clock::now();
            for (int i = 0; i < n; ++i) {
                const int fd = events[size_t(i)].data.fd;
                if (fd == m_wake) {
                    takeIncoming(now);
                    continue;
                }
                int error = 0;
                socklen_t length = sizeof error;
                const bool opened = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0
                    && !(events[size_t(i)].events & (EPOLLERR | EPOLLHUP));
                AttemptPtr attempt = release(fd);
                if (!attempt)
                    continue;
                if (opened)
                    attempt->finish(now - *attempt->firstStart);
                else if (attempt->next < attempt->addresses.size() && now < attempt->deadline)
                    networkThreadPool().start([attempt] { startNext(attempt); });
                else
                    attempt->finish(std::nullopt);
            }
            while (!m_expiries.empty() && m_expiries.begin()->first <= now) {
                if (AttemptPtr attempt = release(m_expiries.begin()->second))
                    attempt->finish(std::nullopt);
            }
        }
    }

    void takeIncoming(Clock::time_point now)
    {
        quint64 count = 0;
        [[maybe_unused]] const auto n = ::read(m_wake, &count, sizeof count);
        std::vector<std::pair<int, AttemptPtr>> incoming;
        {
            std::lock_guard lock(m_mutex);
            incoming.swap(m_incoming);
        }
        for (auto &[fd, attempt] : incoming) {
            struct epoll_event event {};
            event.events = EPOLLOUT;
            event.data.fd = fd;
            if (attempt->deadline <= now || ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event) != 0) {
                ::close(fd);
                attempt->finish(std::nullopt);
                continue;
            }
            const auto expiry = m_expiries.emplace(attempt->deadline, fd);
            m_watched.emplace(fd, Watched{std::move(attempt), expiry});
        }
    }

    // Stops watching the socket and closes it; returns its attempt.
    AttemptPtr release(int fd)
    {
        const auto it = m_watched.find(fd);
        if (it == m_watched.end())
            return {};
        AttemptPtr attempt = std::move(it->second.attempt);
        m_expiries.erase(it->second.expiry);
        m_watched.erase(it);
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
        ::close(fd);
        return attempt;
    }

    const int m_epoll;
    const int m_wake;
    std::mutex m_mutex;
    std::vector<std::pair<int, AttemptPtr>> m_incoming;
    // Used by the waiter thread only.
    std::unordered_map<int, Watched> m_watched;
    std::multimap<Deadline, int> m_expiries;
};

// Starts the connection to the attempt's next usable address and hands it to the
// waiter; finishes the attempt when it opens at once or no address is left.
void startNext(const AttemptPtr &attempt)
{
    Waiter &waiter = Waiter::shared();
    while (attempt->next < attempt->addresses.size()) {
        if (Clock::now() >= attempt->deadline || !waiter.isUsable())
            break;
        const QHostAddress address = attempt->addresses.at(attempt->next++);
        SocketAddress target;
        const int fd = prepareSocket(address, attempt->port, attempt->avoidTunnel, *attempt->bypass, target);
        if (fd < 0)
            continue;
        const auto start = Clock::now();
        if (!attempt->firstStart)
            attempt->firstStart = start;
        if (::connect(fd, target.get(), target.length) == 0) {
            ::close(fd);
            attempt->finish(Clock::now() - *attempt->firstStart);
            return;
        }
        if (errno == EINPROGRESS) {
            waiter.watch(fd, attempt);
            return;
        }
        ::close(fd);
    }
    attempt->finish(std::nullopt);
}

} // namespace

QFuture<std::optional<std::chrono::nanoseconds>> openTcpAsync(QList<QHostAddress> addresses, quint16 port, bool avoidTunnel,
                                                               Deadline deadline, std::shared_ptr<const TunnelBypass> bypass)
{
    auto attempt = std::make_shared<Attempt>();
    attempt->addresses = std::move(addresses);
    attempt->port = port;
    attempt->avoidTunnel = avoidTunnel;
    attempt->deadline = deadline;
    attempt->bypass = std::move(bypass);
    QFuture<Result> future = attempt->promise.future();
    attempt->promise.start();
    networkThreadPool().start([attempt] { startNext(attempt); });
    return future;
}

} // namespace qor::net
