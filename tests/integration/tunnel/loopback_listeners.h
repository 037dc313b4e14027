#pragma once

#include <QHostAddress>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

// A listener on a loopback address for connection tests. A silent one never answers:
// its accept queue is full (backlog 0 and connections never accepted), so the kernel
// drops every further SYN and a connection attempt just waits.
class LoopbackListener {
public:
    enum Kind { Answering, Silent };

    LoopbackListener(const char *address, quint16 port, Kind kind) { m_ok = open(address, port, kind); }
    ~LoopbackListener() { close(); }
    Q_DISABLE_COPY(LoopbackListener)

    bool isOpen() const { return m_ok; }
    quint16 port() const { return m_port; }
    void close()
    {
        for (int fd : m_fds) // the listening socket first, then the queue's fillers
            ::close(fd);
        m_fds.clear();
    }

private:
    bool open(const char *address, quint16 port, Kind kind)
    {
        const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listener < 0)
            return false;
        m_fds.push_back(listener);
        const int one = 1;
        ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in in{};
        in.sin_family = AF_INET;
        in.sin_port = htons(port);
        ::inet_pton(AF_INET, address, &in.sin_addr);
        socklen_t length = sizeof in;
        if (::bind(listener, reinterpret_cast<sockaddr *>(&in), sizeof in) != 0 || ::listen(listener, kind == Silent ? 0 : 64) != 0
            || ::getsockname(listener, reinterpret_cast<sockaddr *>(&in), &length) != 0)
            return false;
        m_port = ntohs(in.sin_port);
        // Fill the queue until an attempt stays unanswered.
        for (int i = 0; kind == Silent && i < 16; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            pollfd p{fd, POLLOUT, 0};
            if (::connect(fd, reinterpret_cast<sockaddr *>(&in), sizeof in) != 0 && ::poll(&p, 1, 300) == 0) {
                ::close(fd); // this one was not answered: the listener is silent now
                return true;
            }
            m_fds.push_back(fd);
        }
        return kind == Answering;
    }

    quint16 m_port = 0;
    bool m_ok = false;
    std::vector<int> m_fds;
};

// A port on 127.0.0.1 where nothing listens (connections are refused).
inline quint16 closedLoopbackPort()
{
    LoopbackListener probe("127.0.0.1", 0, LoopbackListener::Answering);
    return probe.port(); // closed again when probe goes
}
