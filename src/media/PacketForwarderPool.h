// The datagram buffers of one receiving side of the relay ("Client": from
// clients, forwarded to servers; "Server": from servers, forwarded to
// clients), the two rings they circulate on, and the side's maps that the
// forwarding thread looks tunnels up in.
//
// Threads: one receive thread (takes from the free ring, puts on the filled
// ring, and keeps one buffer as its own) and one send thread (the reverse);
// the rings order them. The receive thread forwards a datagram itself when
// its direction is idle: the filled ring empty, the send thread asleep on it
// (PacketRing::taker_idle) and no lasting backlog on the socket. The send
// thread announces its sleep only once it is done with every buffer it
// took, and only the receive thread's next put wakes it, so the datagrams of
// a pool are forwarded one at a time, in the order received, by one thread
// or the other, never both at once; that thread alone advances the tunnels'
// sequence windows and counters. A datagram the receive thread checked but
// could not send at once (send buffer full) goes to the send thread marked
// as checked, and the send thread only sends it; one it could not look up
// without waiting for the side's mutex goes unchecked.
// The side's mutex, owned by the relay, guards the SPI maps; the forwarding
// threads hold it only for a look-up, and the receive thread never waits for
// it (the relay's walks over every tunnel hold it much longer).
#pragma once

#include "Log.h"
#include "PacketForwarder.h"
#include "PacketRing.h"

#include <boost/log/attributes/attribute_name.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/unordered_map.hpp>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace vexa {

class UDPConnection;

class PacketForwarderPool {
public:
    using spi_map_t = boost::unordered_map<uint32_t, boost::shared_ptr<UDPConnection>>;
    using set_peer_t = void (UDPConnection::*)(boost::asio::ip::udp::endpoint);
    using get_peer_t = boost::asio::ip::udp::endpoint (UDPConnection::*)() const;

    // A datagram with more queued behind it is still forwarded on the
    // receive thread, up to this many in a row: waking the send thread takes
    // about as long as forwarding that many (10 to 20 us), and a receive
    // thread woken late finds the next datagram of a steady stream queued
    // already. A backlog that outlasts them is a burst and gets both threads.
    static constexpr unsigned INLINE_BACKLOG = 8;

    // send_socket is the relay's descriptor field, read when sending.
    // inline_backlog: as INLINE_BACKLOG; 1 hands every datagram with more
    // queued to the send thread.
    PacketForwarderPool(uint32_t slots, const std::string& name, std::mutex& mutex,
                        spi_map_t& spi_map, spi_map_t& spi_clear_map, set_peer_t set_peer,
                        get_peer_t get_peer, const int& send_socket,
                        unsigned inline_backlog = INLINE_BACKLOG);
    ~PacketForwarderPool();

    PacketForwarderPool(const PacketForwarderPool&) = delete;
    PacketForwarderPool& operator=(const PacketForwarderPool&) = delete;

    void add_for_read(PacketForwarder* buffer) { free_ring.put(buffer); }
    PacketForwarder* fetch_for_read() { return free_ring.take(); }
    void add_for_write(PacketForwarder* buffer) { filled_ring.put(buffer); }
    PacketForwarder* fetch_for_write() { return filled_ring.take(); }

    // Receive thread step: one datagram received, then forwarded here or
    // handed to the send thread. False once stopped (a null buffer then
    // tells the send thread to end).
    bool read_packet_from(int socket);
    // Send thread step; false on the null buffer.
    bool process_and_forward_packet();
    // Makes both steps end; the caller wakes the receive thread.
    void stop() { running.store(false); }

    const std::string& get_name() const { return name; }
    int free_buffers() const { return free_ring.available(); }
    int filled_buffers() const { return filled_ring.available(); }

private:
    friend class PacketForwarder;

    // Forwards a datagram on the receive thread: check, then a send that
    // does not wait. False when the datagram is to go to the send thread:
    // unchecked when the side's mutex was taken, marked as checked when the
    // send buffer was full. Neither waits.
    bool forward_inline(PacketForwarder& buffer);

    const uint32_t slots;
    const std::string name;
    const boost::log::attribute_name endpoint_attribute;  // "Udp" + name + "EndPoint"
    std::mutex& mutex;
    spi_map_t& spi_map;
    spi_map_t& spi_clear_map;
    const set_peer_t set_peer;
    const get_peer_t get_peer;
    const int& send_socket;
    // The receive thread finds no free buffer only when every other one is
    // filled and waiting for the send thread: it sleeps at once, and is woken
    // when a batch is free again rather than for each buffer.
    static constexpr uint32_t FREE_WAKE_BATCH = 64;
    PacketRing free_ring;
    PacketRing filled_ring;
    std::vector<PacketForwarder*> buffers;
    const unsigned inline_backlog;
    PacketForwarder* own;  // the receive thread's buffer; out of both rings
    // Datagrams in a row found with more queued (the receive thread's).
    unsigned backlog;
    std::atomic<bool> running;
    logger_t lg;
};

}  // namespace vexa
