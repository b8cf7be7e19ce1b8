// The per-datagram path allocates nothing: counted by a replacement of the
// global allocation functions (per thread, so other threads do not count).
// The log library takes its record storage from malloc directly, so malloc,
// calloc and realloc are counted too, except under a sanitizer, whose own
// allocator they would bypass.
// With the replacements below in view, optimising GCC pairs every inlined
// delete with malloc and reports a mismatch that is not there.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include "PoolSide.h"
#include "Startup.h"
#include "UdpPeer.h"
#include "relay_fixture.h"

#include <boost/log/utility/setup/common_attributes.hpp>

#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace {
thread_local uint64_t allocations = 0;
}  // namespace

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define KAVRI_COUNT_MALLOC 1
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);

void* malloc(size_t size) noexcept
{
    ++allocations;
    return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) noexcept
{
    ++allocations;
    return __libc_calloc(count, size);
}
void* realloc(void* p, size_t size) noexcept
{
    ++allocations;
    return __libc_realloc(p, size);
}
}
#endif

void* operator new(std::size_t size)
{
#ifndef KAVRI_COUNT_MALLOC
    ++allocations;
#endif
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

using namespace relay_test;

class Allocation : public RelayFixture {
protected:
    void TearDown() override
    {
        vexa::reset_log_filter();
        RelayFixture::TearDown();
    }
};

TEST_F(Allocation, NoneOnTheForwardingPathNorOnFilteredDrops)
{
    // The attributes the program adds at start-up, so a record opened under
    // the filter costs what it costs there.
    boost::log::add_common_attributes();
    auto ev = make_events();
    const Keys plain = keys_for(0xa9000001), clear = keys_for(0xa9000002);
    auto p = c2s(plain, "p", server_ep(), ev);
    auto c = c2s(clear, "c", server_ep(), ev, 1);
    std::vector<bytes> good, bad;
    for (uint32_t i = 1; i <= 50; ++i) {
        good.push_back(datagram(plain, i, 200));
        good.push_back(datagram(clear, i, 200, {0x81, 0x44, 0, 0}));
        bytes forged = datagram(plain, i, 200);
        forged.back() ^= 1;
        bad.push_back(forged);
        bytes forged_clear = datagram(clear, i, 200, {0x81, 0x44, 0, 0});
        forged_clear[20] ^= 1;
        bad.push_back(forged_clear);
        bad.push_back(datagram(keys_for(0x7e000000 + i), i, 200));                      // unknown, plain form
        bad.push_back(datagram(keys_for(0x7f000000 + i), i, 200, {0x81, 0x44, 0, 0}));  // unknown, clear form
        bytes short_one = datagram(plain, i, 3);                                        // 35 bytes, a valid tag
        bad.push_back(short_one);
        short_one.resize(i % 8);
        bad.push_back(short_one);
    }
    const uint64_t probe = allocations;
    vexa::PacketForwarder* buffer = new vexa::PacketForwarder;
    ASSERT_GT(allocations, probe);  // the counter sees allocations at all
    auto run = [&](const std::vector<bytes>& list, vexa::PacketForwarderPool& pool) {
        for (const bytes& d : list) {
            std::copy(d.begin(), d.end(), buffer->data);
            buffer->length = static_cast<int32_t>(d.size());
            buffer->source = client_ep();
            buffer->process_and_forward(pool);
        }
    };
    run(good, relay->get_client_pool());  // first datagrams: logged, state set
    // Drops are debug records: filtered out as in production (LogLevel 2).
    vexa::set_log_filter("2");
    const uint64_t before = allocations;
    run(good, relay->get_client_pool());
    const uint64_t forwarding = allocations - before;
    run(bad, relay->get_client_pool());
    const uint64_t dropping = allocations - before - forwarding;
    vexa::reset_log_filter();
    EXPECT_EQ(0u, forwarding);
    EXPECT_EQ(0u, dropping) << "for " << bad.size() << " dropped datagrams";
    EXPECT_EQ(100u, vexa::SessionStatistics::get(p->stats.packet_count));
    EXPECT_EQ(100u, vexa::SessionStatistics::get(c->stats.packet_count));

    // With the level enabled the drops are logged as before.
    run(bad, relay->get_client_pool());
    delete buffer;
    EXPECT_EQ(100u, log.count("Failed authentication on UDP packet from Kavri Client: 127.0.0.7:40000"));
    EXPECT_EQ(100u, log.count("Blocked UDP packet with unknown SPI "));
}

// The receive thread's own forwarding, driven from this thread while the
// pool's send thread sleeps on its empty ring: the receive, the queue check,
// the check and the send allocate nothing either, and nothing reaches the
// send thread.
TEST_F(Allocation, NoneWhenTheReceiveThreadForwardsItself)
{
    boost::log::add_common_attributes();
    auto ev = make_events();
    const Keys k = keys_for(0xa9000003);
    auto t = c2s(k, "p", server_ep(), ev);
    vexa::PacketForwarderPool& pool = relay->get_client_pool();
    int handed_over = 0;
    std::thread send_thread([&pool, &handed_over] {
        while (pool.process_and_forward_packet())
            ++handed_over;
    });
    uint16_t port = 0;
    const int rx = bound_udp_socket(&port);
    kavri_test::UdpPeer sender;
    std::vector<bytes> list;
    for (uint32_t i = 1; i <= 60; ++i)
        list.push_back(datagram(k, i, 200));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the send thread sleeps
    auto one = [&](const bytes& d) {
        sender.send_to(port, d);
        // Queued before the receive, so it returns at once.
        pollfd p{rx, POLLIN, 0};
        poll(&p, 1, 1000);
        return pool.read_packet_from(rx);
    };
    for (size_t i = 0; i < 10; ++i)  // first datagram: logged, state set
        ASSERT_TRUE(one(list[i]));
    vexa::set_log_filter("2");
    const uint64_t before = allocations;
    for (size_t i = 10; i < list.size(); ++i)
        ASSERT_TRUE(one(list[i]));
    const uint64_t during = allocations - before;
    vexa::reset_log_filter();
    EXPECT_EQ(0u, during);
    EXPECT_EQ(list.size(), vexa::SessionStatistics::get(t->stats.packet_count));
    EXPECT_EQ(1022, pool.free_buffers());  // one is the receive thread's
    pool.stop();
    shutdown(rx, SHUT_RD);
    EXPECT_FALSE(pool.read_packet_from(rx));  // tells the send thread to end
    send_thread.join();
    EXPECT_EQ(0, handed_over);
    close(rx);
}

// The receive thread's two ways of handing a datagram over after it found
// its direction idle: one it could not look up without waiting (the side's
// mutex taken) and one it checked but could not send (the send buffer
// full, a datagram socket pair that keeps messages until the far end reads)
// allocate nothing either, nor do the datagrams handed over behind them.
TEST_F(Allocation, NoneWhenTheReceiveThreadHandsOver)
{
    boost::log::add_common_attributes();
    int pair[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair));
    const int small = 4096;
    setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    const Keys k = keys_for(0xa9000004);
    PoolSide side(64, k, server_ep(), [](eSESSION_STATE) {}, false, pair[0]);
    std::thread send_thread([&side] {
        while (side.pool.process_and_forward_packet()) {
        }
    });
    kavri_test::UdpPeer sender;
    std::vector<bytes> list;
    for (uint32_t i = 1; i <= 50; ++i)
        list.push_back(datagram(k, i, 200));
    size_t next = 0;
    auto one = [&] {
        sender.send_to(side.rx_port, list.at(next++));
        pollfd p{side.rx, POLLIN, 0};
        poll(&p, 1, 1000);
        return side.pool.read_packet_from(side.rx);
    };
    auto drain = [&] {
        unsigned char buf[2048];
        pollfd p{pair[1], POLLIN, 0};
        while (poll(&p, 1, 100) == 1)
            recv(pair[1], buf, sizeof buf, 0);
    };
    for (int i = 0; i < 10; ++i)  // first datagram: logged, state set
        ASSERT_TRUE(one());
    drain();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the send thread sleeps
    // Another thread holds the mutex, as a walk over every tunnel would.
    std::atomic<int> walk{0};  // 1: held, 2: to be let go
    std::thread walker([&] {
        std::lock_guard<std::mutex> lock(side.mutex);
        walk = 1;
        while (walk.load() != 2)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    while (walk.load() != 1)
        std::this_thread::yield();
    vexa::set_log_filter("2");
    const uint64_t before = allocations;
    for (int i = 0; i < 10; ++i)
        EXPECT_TRUE(one());
    const uint64_t busy = allocations - before;
    // None checked yet: the send thread waits for the mutex with the first.
    EXPECT_EQ(10u, vexa::SessionStatistics::get(side.tunnel->stats.packet_count));
    walk = 2;
    walker.join();
    drain();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const uint64_t before_full = allocations;
    for (int i = 0; i < 30; ++i)  // the far end reads nothing now
        ASSERT_TRUE(one());
    const uint64_t full = allocations - before_full;
    vexa::reset_log_filter();
    EXPECT_EQ(0u, busy);
    EXPECT_EQ(0u, full);
    EXPECT_GT(side.pool.filled_buffers(), 0);  // handed over behind the full buffer
    drain();
    EXPECT_EQ(50u, vexa::SessionStatistics::get(side.tunnel->stats.packet_count));
    side.pool.stop();
    shutdown(side.rx, SHUT_RD);
    EXPECT_FALSE(side.pool.read_packet_from(side.rx));  // tells the send thread to end
    send_thread.join();
    close(pair[1]);
}
