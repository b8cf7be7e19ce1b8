// One datagram buffer of the relay: the bytes received, their count and the
// sender. Buffers are made once per pool and circulate between its receive
// thread and its send thread. Forwarding is a check (tunnel, tag, window,
// counters, state, peer) and a send; the receive thread may do both itself,
// and hands a checked datagram it could not send at once to the send
// thread, which then only sends it.
//
// Threads: owned by whichever thread took it from a ring or holds it as its
// own; never shared.
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
    enum class Checked {
        send,  // to `to`
        drop,  // or nowhere to send it
        busy,  // not checked: the side's mutex was taken and wait was false
    };
    // Finds the tunnel, checks the tag, advances the sequence window, learns
    // the peer, reports ACTIVE and counts; `to` becomes the target (an IPv4
    // address other than 0.0.0.0) of a datagram to send. Once per datagram,
    // by the one thread that forwards the pool's datagrams at the time.
    // Without wait, a look-up that would wait for the side's mutex gives
    // busy before anything has changed.
    Checked check(PacketForwarderPool& pool, boost::asio::ip::udp::endpoint& to, bool wait = true);
    // Sends the datagram unchanged. False only when flags hold MSG_DONTWAIT
    // and the socket's send buffer is full; any other outcome is final.
    bool send(int socket, const boost::asio::ip::udp::endpoint& to, int flags);
    // Marks a checked datagram that is still to go to `to`: the send thread
    // sends it without checking it again.
    void hand_back(const boost::asio::ip::udp::endpoint& to);
    // The send thread's work: check (unless handed back) and send, waiting
    // for room in the send buffer.
    void process_and_forward(PacketForwarderPool& pool);

    char data[DATA_SIZE];
    int32_t length;
    // The sender; in a handed-back datagram, where it goes.
    boost::asio::ip::udp::endpoint source;
    bool checked;
};

}  // namespace vexa
