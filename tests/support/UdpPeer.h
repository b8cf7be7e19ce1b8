// A UDP socket on 127.0.0.1 standing in for a media client or server: sends
// datagrams to a loopback port and receives with a bounded wait.
//
// Threads: one thread uses a peer (a sender and a receiver thread may share
// it: send and receive touch only the kernel socket).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace kavri_test {

class UdpPeer {
public:
    using bytes = std::vector<unsigned char>;

    // Bound to 127.0.0.1:port (0: any free port).
    explicit UdpPeer(unsigned short port = 0);
    ~UdpPeer();
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    bool is_bound() const { return m_bound; }
    unsigned short port() const { return m_port; }

    bool send_to(unsigned short port, const bytes& datagram) const;
    bool send_to(unsigned short port, const std::string& datagram) const
    {
        return send_to(port, bytes(datagram.begin(), datagram.end()));
    }
    // The next datagram, empty on timeout; from_port tells the sender's port.
    bytes receive(std::chrono::milliseconds timeout = std::chrono::milliseconds(1000),
                  unsigned short* from_port = nullptr) const;

private:
    int m_fd;
    bool m_bound = false;
    unsigned short m_port = 0;
};

}  // namespace kavri_test
