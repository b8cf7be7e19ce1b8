// The hand-over between a receive thread that forwards datagrams itself and
// its send thread, attacked from outside the rings: the side's mutex held by
// a long walk, full send buffers in both directions with forged, short,
// oversize, unknown and replayed datagrams and a roaming client in the
// stream, the 5-second check parking and a resumption rekeying tunnels in
// the middle of bursts while statistics are read, and stops wherever the
// threads are.
#include "PoolSide.h"
#include "UdpPeer.h"

#include <boost/bind/bind.hpp>

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

using namespace relay_test;
using boost::placeholders::_1;

namespace {

using steady = std::chrono::steady_clock;
using endpoint = boost::asio::ip::udp::endpoint;

template <class F>
bool within(std::chrono::milliseconds bound, F done)
{
    const auto end = steady::now() + bound;
    while (!done()) {
        if (steady::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    return true;
}

uint32_t sequence_of(const bytes& d, size_t at = 4)
{
    uint32_t s;
    std::memcpy(&s, d.data() + at, 4);
    return ntohl(s);
}

endpoint loopback_port(uint16_t port)
{
    return endpoint(boost::asio::ip::address_v4::loopback(), port);
}

class Attack : public ::testing::Test {
protected:
    void SetUp() override
    {
        vexa::Config* c = vexa::Config::get_instance();
        c->set("UdpMaxNoActivitySeconds", "180");
        c->set("EnableRoamingIP", "1");
    }
    LogCapture log;
};

}  // namespace

// The 5-second check, the statistics and a removal hold the side's mutex
// while they walk every tunnel (milliseconds with thousands of them). A
// receive thread that forwards itself must not wait for it there: its
// socket holds far fewer datagrams than the pool has buffers, so what
// arrives meanwhile would be lost. The datagram it holds goes to the send
// thread unchecked, which waits instead, and the receive thread goes on
// handing over; once the walk ends everything arrives, in order.
TEST_F(Attack, AReceiveThreadForwardingItselfDoesNotWaitForTheSidesMutex)
{
    const Keys keys = keys_for(0xc9c9c9c9);
    uint16_t target_port;
    const int target = bound_udp_socket(&target_port);
    PoolSide side(1024, keys, loopback_port(target_port));
    // Room for a few dozen datagrams on the receive socket, hundreds in the pool.
    const int small = 16 * 1024;
    setsockopt(side.rx, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    kavri_test::UdpPeer sender;
    sender.send_to(side.rx_port, datagram(keys, 1, 200));
    std::atomic<uint32_t> arrived{0}, misplaced{0};
    std::atomic<bool> done{false};
    std::thread receiver([&] {
        unsigned char buf[2048];
        while (!done.load()) {
            pollfd p{target, POLLIN, 0};
            if (poll(&p, 1, 20) != 1)
                continue;
            const ssize_t n = recv(target, buf, sizeof buf, 0);
            if (n < 8)
                continue;
            if (sequence_of(bytes(buf, buf + n)) == arrived.load() + 1)
                ++arrived;
            else
                ++misplaced;
        }
    });
    ASSERT_TRUE(within(std::chrono::milliseconds(2000), [&] { return arrived.load() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // the send thread sleeps

    const uint32_t total = 400;
    bool kept_up = true;
    {
        std::lock_guard<std::mutex> walk(side.mutex);
        for (uint32_t k = 2; k <= total; ++k) {
            // Paced by the receive thread: all but a few already handed over
            // (one of them held by the send thread, waiting for the mutex).
            if (kept_up)
                kept_up = within(std::chrono::milliseconds(500),
                                 [&] { return side.pool.filled_buffers() + 1 + 8 >= static_cast<int>(k - 2); });
            sender.send_to(side.rx_port, datagram(keys, k, 200));
        }
        within(std::chrono::milliseconds(500),
               [&] { return side.pool.filled_buffers() + 1 >= static_cast<int>(total - 1); });
        EXPECT_TRUE(kept_up) << "the receive thread stopped receiving while the mutex was held";
        EXPECT_EQ(1u, arrived.load());
    }
    EXPECT_TRUE(within(std::chrono::milliseconds(3000), [&] { return arrived.load() == total; }))
        << arrived.load() << " of " << total;
    done = true;
    receiver.join();
    EXPECT_EQ(0u, misplaced.load());
    EXPECT_EQ(total, vexa::SessionStatistics::get(side.tunnel->stats.packet_count));
    side.stop();
    EXPECT_TRUE(side.every_buffer_back());
    close(target);
}
