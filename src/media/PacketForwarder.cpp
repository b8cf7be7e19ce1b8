#include "PacketForwarder.h"

#include "AESGCMUtil.h"
#include "PacketForwarderPool.h"
#include "UDPConnection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <ios>

using boost::log::trivial::debug;
using boost::log::trivial::info;

namespace vexa {

namespace {

// Clear-header classes, on the header read as one big-endian word.
constexpr uint32_t AUDIO_MASK = 0x01FE0000u, AUDIO_VALUE = 0x01440000u;
constexpr uint32_t IMAGING_MASK = 0x01FF0000u, IMAGING_VALUE = 0x01000000u;

// False, with nothing found, when wait is false and the mutex is taken.
bool look_up(std::mutex& mutex, const PacketForwarderPool::spi_map_t& map, uint32_t key, bool wait,
             boost::shared_ptr<UDPConnection>& found)
{
    std::unique_lock<std::mutex> lock(mutex, std::defer_lock);
    if (wait)
        lock.lock();
    else if (!lock.try_lock())
        return false;
    auto it = map.find(key);
    found = it == map.end() ? boost::shared_ptr<UDPConnection>() : it->second;
    return true;
}

}  // namespace

PacketForwarder::PacketForwarder()
    : length(0), source(boost::asio::ip::address_v4::any(), 0), checked(false)
{
}

bool PacketForwarder::fill_buffer_from(int socket, const std::atomic<bool>& running)
{
    for (;;) {
        sockaddr_in from;
        socklen_t from_length = sizeof from;
        const ssize_t n = recvfrom(socket, data, DATA_SIZE, 0, reinterpret_cast<sockaddr*>(&from),
                                   &from_length);
        if (!running.load(std::memory_order_relaxed))
            return false;
        if (n >= MIN_DATAGRAM) {
            length = static_cast<int32_t>(n);
            checked = false;
            source = boost::asio::ip::udp::endpoint(
                boost::asio::ip::address_v4(ntohl(from.sin_addr.s_addr)), ntohs(from.sin_port));
            return true;
        }
        // Short datagrams and passing errors are dropped silently; a
        // descriptor that can never receive ends the thread instead of
        // spinning on it.
        if (n < 0 && (errno == EBADF || errno == ENOTSOCK || errno == EINVAL || errno == EFAULT))
            return false;
    }
}

void PacketForwarder::process_and_forward(PacketForwarderPool& pool)
{
    boost::asio::ip::udp::endpoint to;
    if (checked) {
        // Counted already: checking it again would count it twice and find
        // its sequence number replayed.
        to = source;
        checked = false;
    } else if (check(pool, to) != Checked::send) {
        return;
    }
    send(pool.send_socket, to, 0);
}

void PacketForwarder::hand_back(const boost::asio::ip::udp::endpoint& to)
{
    source = to;
    checked = true;
}

bool PacketForwarder::send(int socket, const boost::asio::ip::udp::endpoint& to, int flags)
{
    // What the send did is not reported; only a full buffer is worth a retry.
    if (sendto(socket, data, static_cast<size_t>(length), flags, to.data(), to.size()) >= 0)
        return true;
    return (flags & MSG_DONTWAIT) == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
}

PacketForwarder::Checked PacketForwarder::check(PacketForwarderPool& pool, boost::asio::ip::udp::endpoint& to,
                                                bool wait)
{
    if (length < MIN_DATAGRAM)
        return Checked::drop;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(data);

    uint32_t key;
    std::memcpy(&key, data, 4);
    boost::shared_ptr<UDPConnection> conn;
    if (!look_up(pool.mutex, pool.spi_map, key, wait, conn))
        return Checked::busy;

    char* auth_data = data;
    unsigned long auth_length = static_cast<unsigned long>(length);
    unsigned int sequence_offset = 4;
    bool audio = false, imaging = false;
    if (!conn || conn->get_clear_header() != 0) {
        if ((bytes[0] & 0x80) == 0) {
            conn.reset();
        } else {
            std::memcpy(&key, data + 4, 4);
            if (!look_up(pool.mutex, pool.spi_clear_map, key, wait, conn))
                return Checked::busy;
            if (conn && conn->get_clear_header() == 0)
                conn.reset();
        }
        if (!conn) {
            // A flood of these must cost no allocation when the level is off.
            if (log_enabled(debug))
                BOOST_LOG_SEV(pool.lg, debug) << "Blocked UDP packet with unknown SPI " << std::hex
                                              << ntohl(key) << std::dec << " from Kavri " << pool.name
                                              << ": " << endpoint_text(source);
            return Checked::drop;
        }
        auth_data = data + 4;
        auth_length -= 4;
        sequence_offset = 8;
        const uint32_t header = gcm::load_be32(bytes);
        audio = (header & AUDIO_MASK) == AUDIO_VALUE;
        imaging = (header & IMAGING_MASK) == IMAGING_VALUE;
    }

    const UDPConnection::Verdict verdict = conn->check(auth_data, auth_length);
    if (verdict == UDPConnection::Verdict::forged) {
        if (log_enabled(debug))
            BOOST_LOG_SEV(pool.lg, debug) << "Failed authentication on UDP packet from Kavri "
                                          << pool.name << ": " << endpoint_text(source);
        return Checked::drop;
    }
    // Parked while this datagram was on its way: neither forwarded, counted
    // nor reported.
    if (verdict == UDPConnection::Verdict::out_of_service)
        return Checked::drop;

    const std::string& log_id = conn->get_session_log_id();
    if (!conn->is_roaming()) {
        // Learns once: the first accepted datagram names the peer.
        UDPConnection::peer_learnt_t learnt = conn->take_peer_learnt();
        if (learnt)
            conn->call_peer_learnt(learnt, source);
    } else if (verdict == UDPConnection::Verdict::newest && ((*conn).*pool.get_peer)() != source) {
        // Only a datagram newer than every one before moves the peer: a
        // captured one replayed from elsewhere is forwarded (the endpoints
        // drop replays themselves) but moves nothing.
        UDPConnection::peer_learnt_t learnt = conn->copy_peer_learnt();
        if (learnt) {
            const UDPConnection::endpoint previous = ((*conn).*pool.get_peer)();
            BOOST_LOG_SEV(pool.lg, info)
                << VEXA_LOG_SESSION_LOG_ID(log_id)
                << boost::log::add_value(pool.endpoint_attribute, udp_endpoint_t(previous))
                << "=========> " << pool.name << " IP address has changed - " << endpoint_text(source);
            ((*conn).*pool.set_peer)(source);
            conn->call_peer_learnt(learnt, source);
        }
    }

    if (conn->get_udp_session_state() != ACTIVE) {
        BOOST_LOG_SEV(pool.lg, info) << VEXA_LOG_SESSION_LOG_ID(log_id) << "process_and_forward"
                                     << ": ---SS---> Changing the session state to ACTIVE - "
                                     << conn->get_session_id();
        conn->set_udp_session_state(ACTIVE);
    }

    SessionStatistics& st = conn->stats;
    SessionStatistics::add(st.packet_count, 1);
    SessionStatistics::add(st.packet_bytes, auth_length);
    if (audio) {
        SessionStatistics::add(st.audio_count, 1);
        SessionStatistics::add(st.audio_bytes, auth_length);
    } else if (imaging) {
        SessionStatistics::add(st.imaging_count, 1);
        SessionStatistics::add(st.imaging_bytes, auth_length);
    }
    const time_t now = std::time(nullptr);
    if (st.session_start.load(std::memory_order_relaxed) == 0)
        st.session_start.store(now, std::memory_order_relaxed);
    st.last_packet_time.store(now, std::memory_order_relaxed);
    const uint32_t sequence = gcm::load_be32(bytes + sequence_offset);
    if (static_cast<uint32_t>(st.last_sequence.load(std::memory_order_relaxed) + 1) != sequence)
        SessionStatistics::add(st.out_of_order, 1);
    st.last_sequence.store(sequence, std::memory_order_relaxed);

    // Forwarded whole, clear header included; a target not yet learnt
    // (0.0.0.0) or an IPv6 one sends nothing.
    to = conn->get_target_endpoint();
    const bool somewhere = to.protocol() == boost::asio::ip::udp::v4() &&
                           reinterpret_cast<const sockaddr_in*>(to.data())->sin_addr.s_addr != 0;
    return somewhere ? Checked::send : Checked::drop;
}

}  // namespace vexa
