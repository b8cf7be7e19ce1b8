// One receiving side of the relay on its own, for tests with pools far
// smaller than the relay's: the pool's receive and send threads as the relay
// runs them, receiving on a loopback UDP socket and sending on a socket of
// the test's choosing (a loopback UDP socket of its own by default), with
// one roaming tunnel forwarding to target.
//
// Threads: the test's thread makes, starts and stops it; the pool's two
// threads run between start() and stop().
#pragma once

#include "PacketForwarderPool.h"
#include "UDPConnection.h"
#include "relay_fixture.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <thread>

namespace relay_test {

inline int bound_udp_socket(uint16_t* port)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int big = 1 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

struct PoolSide {
    using endpoint = boost::asio::ip::udp::endpoint;

    // send_fd: the socket the side sends on, owned by the side from here;
    // -1 for a loopback UDP socket of its own. inline_backlog: the pool's.
    PoolSide(uint32_t slots, const Keys& keys, const endpoint& target,
             boost::function<void(eSESSION_STATE)> state = [](eSESSION_STATE) {}, bool started = true,
             int send_fd = -1, unsigned inline_backlog = vexa::PacketForwarderPool::INLINE_BACKLOG)
        : rx(bound_udp_socket(&rx_port)),
          tx(send_fd >= 0 ? send_fd : bound_udp_socket(&tx_port)),
          pool(slots, "Client", mutex, plain, clear, &vexa::UDPConnection::set_client_peer,
               &vexa::UDPConnection::get_client_peer, tx, inline_backlog),
          slot_count(slots)
    {
        tunnel.reset(new vexa::UDPConnection(target, keys.salt, keys.key_chars(), 0, "rtag", "conn", "sid",
                                             "log", keys.wire_spi(), true, 0, std::move(state),
                                             boost::function<void(const std::string&)>()));
        plain.emplace(keys.wire_spi(), tunnel);
        if (started)
            start();
    }
    void start()
    {
        reader = std::thread([this] {
            while (pool.read_packet_from(rx)) {
            }
        });
        writer = std::thread([this] {
            while (pool.process_and_forward_packet()) {
            }
        });
    }
    // As the relay stops: both steps end, the receive is woken.
    void stop()
    {
        if (stopped)
            return;
        stopped = true;
        pool.stop();
        shutdown(rx, SHUT_RD);
        if (reader.joinable())
            reader.join();
        if (writer.joinable())
            writer.join();
    }
    // Once stopped: every buffer is back in a ring but the one the receive
    // thread keeps.
    bool every_buffer_back() const
    {
        return pool.free_buffers() + pool.filled_buffers() == static_cast<int>(slot_count) - 2;
    }
    ~PoolSide()
    {
        stop();
        tunnel->clear_callbacks();
        close(rx);
        close(tx);
    }

    uint16_t rx_port = 0, tx_port = 0;
    int rx, tx;
    std::mutex mutex;
    vexa::PacketForwarderPool::spi_map_t plain, clear;
    vexa::PacketForwarderPool pool;
    boost::shared_ptr<vexa::UDPConnection> tunnel;
    std::thread reader, writer;
    const uint32_t slot_count;
    bool stopped = false;
};

}  // namespace relay_test
