// One datagram buffer of the relay: the bytes received, their count and the
// sender. Buffers are made once per pool and circulate between its receive
// thread and its send thread; process_and_forward is the send thread's work
// on one datagram.
//
// Threads: owned by whichever thread took it from a ring; never shared.
#pragma once

#include <boost/asio/ip/udp.hpp>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace vexa {

class PacketForwarderPool;

class PacketForwarder {
public:
    static constexpr std::size_t DATA_SIZE = 2048;
    // Shorter datagrams are discarded on receipt.
    static constexpr int32_t MIN_DATAGRAM = 36;

    PacketForwarder();

    // Receives one datagram of at least MIN_DATAGRAM bytes (a longer one than
    // DATA_SIZE is cut). False when running is cleared or the socket fails
    // for good.
    bool fill_buffer_from(int socket, const std::atomic<bool>& running);
    // Finds the tunnel, checks the tag, learns the peer, counts and forwards
    // the datagram unchanged.
    void process_and_forward(PacketForwarderPool& pool);

    char data[DATA_SIZE];
    int32_t length;
    boost::asio::ip::udp::endpoint source;
};

}  // namespace vexa
