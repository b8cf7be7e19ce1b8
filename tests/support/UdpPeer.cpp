#include "UdpPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kavri_test {

namespace {

sockaddr_in loopback(unsigned short port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

}  // namespace

UdpPeer::UdpPeer(unsigned short port) : m_fd(::socket(AF_INET, SOCK_DGRAM, 0))
{
    sockaddr_in a = loopback(port);
    socklen_t len = sizeof a;
    m_bound = m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
              ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len) == 0;
    if (m_bound)
        m_port = ntohs(a.sin_port);
}

UdpPeer::~UdpPeer()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool UdpPeer::send_to(unsigned short port, const bytes& datagram) const
{
    const sockaddr_in a = loopback(port);
    return ::sendto(m_fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&a),
                    sizeof a) == static_cast<ssize_t>(datagram.size());
}

UdpPeer::bytes UdpPeer::receive(std::chrono::milliseconds timeout, unsigned short* from_port) const
{
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1)
        return bytes();
    bytes buf(65536);
    sockaddr_in a{};
    socklen_t l = sizeof a;
    const ssize_t n = ::recvfrom(m_fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&a), &l);
    if (n < 0)
        return bytes();
    buf.resize(static_cast<std::size_t>(n));
    if (from_port)
        *from_port = ntohs(a.sin_port);
    return buf;
}

}  // namespace kavri_test
