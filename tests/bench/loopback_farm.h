#pragma once

// Many loopback listeners at once, for the latency benchmark.
//
// A silent listener has a full accept queue (backlog 0 and a connection that is
// never accepted), so the kernel drops every further SYN and a connection attempt
// just waits. Building one takes a moment of waiting to see that a connection stays
// unanswered; the farm builds all of them side by side, so 2 000 take about as long
// as one.

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

    // Opens `count` listeners on 127.0.0.1; false when any could not be made.
    bool open(int count, Kind kind)
    {
        std::vector<Listener> fresh(static_cast<size_t>(count));
        for (Listener &l : fresh) {
            l.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (l.fd < 0)
                return keep(fresh, false);
            sockaddr_in in = loopback(0);
            if (::bind(l.fd, reinterpret_cast<sockaddr *>(&in), sizeof in) != 0
                || ::listen(l.fd, kind == Silent ? 0 : 128) != 0)
                return keep(fresh, false);
            socklen_t length = sizeof in;
            ::getsockname(l.fd, reinterpret_cast<sockaddr *>(&in), &length);
            l.port = ntohs(in.sin_port);
        }
        if (kind == Silent) {
            // Rounds of one more filler each: a listener is silent once its newest
            // filler has stayed unanswered for the whole wait.
            std::vector<Listener *> pending;
            for (Listener &l : fresh)
                pending.push_back(&l);
            for (int round = 0; round < 16 && !pending.empty(); ++round) {
                std::vector<int> newest;
                for (Listener *l : pending) {
                    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
                    sockaddr_in in = loopback(l->port);
                    ::connect(fd, reinterpret_cast<sockaddr *>(&in), sizeof in);
                    l->fillers.push_back(fd);
                    newest.push_back(fd);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                std::vector<Listener *> still;
                for (size_t i = 0; i < pending.size(); ++i) {
                    pollfd p{newest[i], POLLOUT, 0};
                    if (::poll(&p, 1, 0) != 0)
                        still.push_back(pending[i]); // answered or failed: not silent yet
                }
                pending.swap(still);
            }
            if (!pending.empty())
                return keep(fresh, false);
        }
        return keep(fresh, true);
    }

    QList<quint16> ports() const
    {
        QList<quint16> result;
        for (const Listener &l : m_listeners)
            result.append(l.port);
        return result;
    }

    void closeAll()
    {
        for (Listener &l : m_listeners) {
            for (int fd : l.fillers)
                ::close(fd);
            ::close(l.fd);
        }
        m_listeners.clear();
    }

    // TCP sockets of this network namespace now in SYN-SENT: connection attempts
    // that wait for an answer (the farm's own unanswered fillers included).
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
                if (fields.size() > 3 && fields.at(3) == "02")
                    ++count;
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

    bool keep(std::vector<Listener> &fresh, bool ok)
    {
        for (Listener &l : fresh) {
            if (ok) {
                m_listeners.push_back(std::move(l));
            } else {
                for (int fd : l.fillers)
                    ::close(fd);
                if (l.fd >= 0)
                    ::close(l.fd);
            }
        }
        return ok;
    }

    std::vector<Listener> m_listeners;
};
