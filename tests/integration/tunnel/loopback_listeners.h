#pragma once

#include <QHostAddress>

#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <arpa/inet.h>
#include <vector>

// Listeners on loopback addresses for connection tests.
//
// A silent listener never answers: its accept queue is full (backlog 0 and one
// connection that is never accepted), so the kernel drops every further SYN and a
// connection attempt just waits.
class LoopbackListener {
public:
    enum Kind { Answering, Silent };

    LoopbackListener(const char *address, quint16 port, Kind kind) { m_ok = open(address, port, kind); }
    ~LoopbackListener() { close(); }
    LoopbackListener(const LoopbackListener &) = delete;
    LoopbackListener &operator=(const LoopbackListener &) = delete;

    bool isOpen() const { return m_ok; }
    quint16 port() const { return m_port; }
    void close()
    {
        for (int fd : m_fillers)
            ::close(fd);
        m_fillers.clear();
        if (m_listen >= 0)
            ::close(m_listen);
        m_listen = -1;
    }

private:
    bool open(const char *address, quint16 port, Kind kind)
    {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_listen < 0)
            return false;
        const int one = 1;
        ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        struct sockaddr_in in {};
        in.sin_family = AF_INET;
        in.sin_port = htons(port);
        ::inet_pton(AF_INET, address, &in.sin_addr);
        if (::bind(m_listen, reinterpret_cast<sockaddr *>(&in), sizeof in) != 0)
            return false;
        if (::listen(m_listen, kind == Silent ? 0 : 64) != 0)
            return false;
        socklen_t length = sizeof in;
        ::getsockname(m_listen, reinterpret_cast<sockaddr *>(&in), &length);
        m_port = ntohs(in.sin_port);
        if (kind == Answering)
            return true;
        // Fill the queue until an attempt stays unanswered.
        for (int i = 0; i < 16; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (::connect(fd, reinterpret_cast<sockaddr *>(&in), sizeof in) == 0) {
                m_fillers.push_back(fd);
                continue;
            }
            struct pollfd p {fd, POLLOUT, 0};
            if (::poll(&p, 1, 300) == 0) {
                ::close(fd); // this one was not answered: the listener is silent now
                return true;
            }
            m_fillers.push_back(fd);
        }
        return false;
    }

    int m_listen = -1;
    quint16 m_port = 0;
    bool m_ok = false;
    std::vector<int> m_fillers;
};

// A port on 127.0.0.1 where nothing listens (connections are refused).
inline quint16 closedLoopbackPort()
{
    LoopbackListener probe("127.0.0.1", 0, LoopbackListener::Answering);
    return probe.port(); // closed again when probe goes
}
