#include "PacketForwarderPool.h"

#include <boost/pool/singleton_pool.hpp>

#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>

using boost::log::trivial::error;

namespace vexa {

namespace {

// One process-wide pool of fixed-size chunks for the buffers of every side.
struct PacketBufferTag {};
using packet_buffer_pool = boost::singleton_pool<PacketBufferTag, sizeof(PacketForwarder)>;

static_assert(sizeof(PacketForwarder) == 2084,
              "a datagram buffer is 2048 bytes, length, source and the checked mark");

// True when nothing more waits on the socket behind the datagram just
// received.
bool nothing_queued(int socket)
{
    int queued = 0;
    return ioctl(socket, FIONREAD, &queued) == 0 && queued == 0;
}

}  // namespace

PacketForwarderPool::PacketForwarderPool(uint32_t slot_count, const std::string& pool_name,
                                         std::mutex& side_mutex, spi_map_t& plain_map,
                                         spi_map_t& clear_map, set_peer_t set_peer_fn,
                                         get_peer_t get_peer_fn, const int& socket,
                                         unsigned backlog_limit)
    : slots(slot_count),
      name(pool_name),
      endpoint_attribute("Udp" + pool_name + "EndPoint"),
      mutex(side_mutex),
      spi_map(plain_map),
      spi_clear_map(clear_map),
      set_peer(set_peer_fn),
      get_peer(get_peer_fn),
      send_socket(socket),
      free_ring(slot_count, 0, std::chrono::nanoseconds(0),
                std::max(1u, std::min(FREE_WAKE_BATCH, slot_count - 1))),
      filled_ring(slot_count),
      inline_backlog(std::max(1u, backlog_limit)),
      own(nullptr),
      backlog(0),
      running(true)
{
    // One buffer fewer than slots, so a ring can never overfill.
    try {
        buffers.reserve(slots - 1);
        for (uint32_t i = 0; i + 1 < slots; ++i) {
            void* chunk = packet_buffer_pool::malloc();
            if (chunk == nullptr)
                throw std::bad_alloc();
            buffers.push_back(new (chunk) PacketForwarder());
            add_for_read(buffers.back());
        }
    } catch (const std::exception&) {
        BOOST_LOG_SEV(lg, error) << "*** UDPServer::PacketForwarderPool: Failed to fully create packet buffers.";
        for (PacketForwarder* b : buffers)
            packet_buffer_pool::free(b);
        throw std::runtime_error("UDPServer::PacketForwarderPool: Failed to fully create packet buffers.");
    }
}

PacketForwarderPool::~PacketForwarderPool()
{
    for (PacketForwarder* b : buffers) {
        b->~PacketForwarder();
        packet_buffer_pool::free(b);
    }
}

bool PacketForwarderPool::read_packet_from(int socket)
{
    if (own == nullptr)
        own = fetch_for_read();
    if (!own->fill_buffer_from(socket, running)) {
        if (running.load())
            BOOST_LOG_SEV(lg, error) << "UDPServer::PacketForwarderPool: " << name
                                     << " receive failed for good: " << std::strerror(errno);
        // The buffer stays in our list; the send thread ends at the null one.
        add_for_write(nullptr);
        return false;
    }
    // The send thread stays asleep until our next put, so forwarding here
    // spares its wake-up and sleep; the same buffer then takes the next
    // datagram. A ring with buffers waiting, a send thread still at work or
    // a backlog on the socket go the usual way, both threads side by side.
    if (filled_ring.taker_idle()) {
        if (nothing_queued(socket))
            backlog = 0;
        else if (backlog < inline_backlog)
            ++backlog;
        if (backlog < inline_backlog && forward_inline(*own))
            return true;
    } else {
        backlog = inline_backlog;
    }
    add_for_write(own);
    own = fetch_for_read();
    return true;
}

bool PacketForwarderPool::forward_inline(PacketForwarder& buffer)
{
    boost::asio::ip::udp::endpoint to;
    try {
        // The check, the statistics and a removal hold the mutex while they
        // walk every tunnel; waiting here would leave the socket to hold
        // what arrives meanwhile, while the send thread can wait with the
        // pool's buffers behind it.
        switch (buffer.check(*this, to, false)) {
        case PacketForwarder::Checked::busy:
            return false;
        case PacketForwarder::Checked::drop:
            return true;
        case PacketForwarder::Checked::send:
            break;
        }
    } catch (const std::exception& e) {
        // A failing callback must not end the relay thread.
        BOOST_LOG_SEV(lg, error) << "UDPServer::PacketForwarderPool: " << name
                                 << " forwarding failed: " << e.what();
        return true;
    }
    if (buffer.send(send_socket, to, MSG_DONTWAIT))
        return true;
    buffer.hand_back(to);
    return false;
}

bool PacketForwarderPool::process_and_forward_packet()
{
    PacketForwarder* buffer = fetch_for_write();
    if (buffer == nullptr)
        return false;
    try {
        buffer->process_and_forward(*this);
    } catch (const std::exception& e) {
        // A failing callback must not end the relay thread.
        BOOST_LOG_SEV(lg, error) << "UDPServer::PacketForwarderPool: " << name
                                 << " forwarding failed: " << e.what();
    }
    add_for_read(buffer);
    return true;
}

}  // namespace vexa
