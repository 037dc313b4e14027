#pragma once

// Many loopback listeners for the latency benchmark. A silent one has a full accept queue (backlog 0, one connection never
// accepted), so further SYNs are dropped and attempts wait; seeing that takes a wait, so all are built side by side.

#include <QFile>
#include <QList>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

class LoopbackFarm {
public:
    enum Kind { Answering, Silent };

    LoopbackFarm() = default;
    LoopbackFarm(const LoopbackFarm &) = delete;
    LoopbackFarm &operator=(const LoopbackFarm &) = delete;
    ~LoopbackFarm() { closeAll(); }

    // Opens `count` listeners on 127.0.0.1; false (and none kept) when any could not be made.
    bool open(int count, Kind kind)
    {
        const size_t first = m_listeners.size();
        m_listeners.resize(first + size_t(count));
        std::vector<Listener *> pending;
        for (size_t i = first; i < m_listeners.size(); ++i) {
            Listener &l = m_listeners[i];
            l.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in in = loopback(0);
            socklen_t length = sizeof in;
            if (l.fd < 0 || ::bind(l.fd, reinterpret_cast<sockaddr *>(&in), sizeof in) != 0
                || ::listen(l.fd, kind == Silent ? 0 : 128) != 0 || ::getsockname(l.fd, reinterpret_cast<sockaddr *>(&in), &length) != 0)
                return dropFrom(first);
            l.port = ntohs(in.sin_port);
            pending.push_back(&l);
        }
        if (kind == Answering)
            return true;
        // Rounds of one more filler each: a listener is silent once its newest filler stayed unanswered all the wait.
        for (int round = 0; round < 16 && !pending.empty(); ++round) {
            for (Listener *l : pending) {
                const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
                sockaddr_in in = loopback(l->port);
                ::connect(fd, reinterpret_cast<sockaddr *>(&in), sizeof in);
                l->fillers.push_back(fd);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            std::erase_if(pending, [](Listener *l) {
                pollfd p{l->fillers.back(), POLLOUT, 0};
                return ::poll(&p, 1, 0) == 0; // still waiting: silent
            });
        }
        return pending.empty() || dropFrom(first);
    }

    QList<quint16> ports() const
    {
        QList<quint16> result;
        for (const Listener &l : m_listeners)
            result.append(l.port);
        return result;
    }

    void closeAll() { dropFrom(0); }

    // TCP sockets of this network namespace in SYN-SENT (the farm's own unanswered fillers included).
    static int synSentSockets()
    {
        int count = 0;
        for (const char *path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
            QFile file(QString::fromLatin1(path));
            if (!file.open(QIODevice::ReadOnly))
                continue;
            // Read whole: line by line, a /proc file may look finished at a page boundary.
            const QList<QByteArray> lines = file.readAll().split('\n');
            for (qsizetype i = 1; i < lines.size(); ++i) {
                const QList<QByteArray> fields = lines.at(i).simplified().split(' ');
                count += fields.size() > 3 && fields.at(3) == "02";
            }
        }
        return count;
    }

private:
    struct Listener {
        int fd = -1;
        quint16 port = 0;
        std::vector<int> fillers;
    };

    static sockaddr_in loopback(quint16 port)
    {
        sockaddr_in in{};
        in.sin_family = AF_INET;
        in.sin_port = htons(port);
        in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return in;
    }

    // Closes and forgets the listeners from index `first` on; always false.
    bool dropFrom(size_t first)
    {
        for (size_t i = first; i < m_listeners.size(); ++i) {
            for (int fd : m_listeners[i].fillers)
                ::close(fd);
            if (m_listeners[i].fd >= 0)
                ::close(m_listeners[i].fd);
        }
        m_listeners.resize(first);
        return false;
    }

    std::vector<Listener> m_listeners;
};
