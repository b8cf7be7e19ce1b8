// Relay construction, its settings, the rings and stopping.
#include "PacketRing.h"
#include "relay_fixture.h"

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <thread>

using namespace relay_test;

TEST(RelaySettings, SocketBufferClamps)
{
    const std::pair<const char*, int> rx[] = {{"100", 256}, {"255", 256}, {"256", 256}, {"384", 384},
                                              {"4096", 4096}, {"5000", 4096}, {"x", 256}};
    const std::pair<const char*, int> tx[] = {{"127", 128}, {"128", 128}, {"192", 192}, {"3000", 2048},
                                              {"2048", 2048}, {"", 128}};
    for (const auto& c : rx)
        EXPECT_EQ(c.second * 1024, vexa::UDPServer::rx_buffer_bytes(c.first)) << c.first;
    for (const auto& c : tx)
        EXPECT_EQ(c.second * 1024, vexa::UDPServer::tx_buffer_bytes(c.first)) << c.first;
}

TEST(RelaySettings, RoamingSwitch)
{
    const std::pair<const char*, const char*> cases[] = {{"1", "1"}, {"0", "0"}, {"abc", "0"}, {"2", "1"}};
    for (const auto& c : cases) {
        vexa::Config::get_instance()->set("EnableRoamingIP", c.first);
        LogCapture log;
        boost::asio::io_service loop;
        auto relay = boost::make_shared<vexa::UDPServer>(loop, "127.0.0.1", "0", "127.0.0.1", "0");
        EXPECT_EQ(1u, log.count_messages(std::string("Roaming IP Address feature Enabled = ") + c.second)) << c.first;
        EXPECT_EQ(1u, log.count_messages("Network activity check interval = 5"));
        EXPECT_NE(0, relay->get_external_port());
        EXPECT_NE(0, relay->get_internal_port());
        EXPECT_NE(relay->get_external_port(), relay->get_internal_port());
    }
}

TEST(RelaySettings, StartFailsOnBadAddressOrBusyPort)
{
    boost::asio::io_service loop;
    EXPECT_THROW(vexa::UDPServer(loop, "not-an-ip", "0", "127.0.0.1", "0"), std::runtime_error);
    EXPECT_THROW(vexa::UDPServer(loop, "127.0.0.1", "0", "300.1.1.1", "0"), std::runtime_error);

    auto first = boost::make_shared<vexa::UDPServer>(loop, "127.0.0.1", "0", "127.0.0.1", "0");
    const std::string busy = std::to_string(first->get_internal_port());
    LogCapture log;
    try {
        vexa::UDPServer second(loop, "127.0.0.1", "0", "127.0.0.1", busy);
        ADD_FAILURE() << "bound twice";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string::npos, std::string(e.what()).find("cannot bind the internal UDP socket to 127.0.0.1:" + busy))
            << e.what();
    }
    EXPECT_EQ(1u, log.count("error   : relay internal UDP socket 127.0.0.1:" + busy + ": bind: Address already in use"));
    // An IPv6 text binds every IPv4 interface, with a warning.
    vexa::UDPServer v6(loop, "::1", "0", "127.0.0.1", "0");
    EXPECT_EQ(1u, log.count_messages("the external address ::1 is no IPv4 address; the socket is bound to 0.0.0.0"));
}

TEST(RelayRing, FifoAcrossTheIndexWrap)
{
    vexa::PacketRing ring(4, 0xfffffffeu);
    vexa::PacketForwarder buffers[3];
    for (int round = 0; round < 5; ++round) {
        for (auto& b : buffers)
            ring.put(&b);
        EXPECT_EQ(3, ring.available());
        for (auto& b : buffers)
            EXPECT_EQ(&b, ring.take()) << round;
    }
    EXPECT_THROW(vexa::PacketRing(3), std::invalid_argument);
    EXPECT_THROW(vexa::PacketRing(4, 0, vexa::PacketRing::DEFAULT_SPIN, 0), std::invalid_argument);
    EXPECT_THROW(vexa::PacketRing(4, 0, vexa::PacketRing::DEFAULT_SPIN, 4), std::invalid_argument);
}

namespace {

using steady = std::chrono::steady_clock;

// No pause, a busy one of up to 2 or 30 us (to hit the moment the taker
// announces its sleep after no spin or the default one), or a sleep.
void random_pause(std::mt19937& rng)
{
    switch (rng() % 4) {
    case 0:
        return;
    case 1:
    case 2: {
        const auto spin = std::chrono::nanoseconds(rng() % (rng() % 2 ? 2000 : 30000));
        const auto until = steady::now() + spin;
        while (steady::now() < until) {
        }
        return;
    }
    default:
        std::this_thread::sleep_for(std::chrono::microseconds(50 + rng() % 500));
    }
}

// Two rings and three buffers circulating between a producer and a consumer
// as in a pool: so few buffers that both rings run empty and both threads
// go to sleep and are woken.
struct HandOff {
    struct Setting {
        std::chrono::nanoseconds filled_spin, free_spin;
        uint32_t free_batch;
    };
    explicit HandOff(const Setting& s)
        : filled(4, 0xfffffff0u, s.filled_spin), free_ring(4, 0, s.free_spin, s.free_batch)
    {
        for (auto& b : buffers)
            free_ring.put(&b);
    }
    vexa::PacketRing filled;
    vexa::PacketRing free_ring;
    vexa::PacketForwarder buffers[3];
    std::atomic<int32_t> sent{0};
    std::atomic<int32_t> taken{0};
    std::atomic<int> disorder{0};
    std::atomic<bool> stranded{false};
    std::atomic<bool> done{false};
};

}  // namespace

// Bursts and pauses at random on both sides, with no spin, with the default
// one, and as a pool sets its rings (the free ring wakes its taker only once
// every buffer is back): every buffer put is taken once and in order, and a
// burst put before a pause is taken without any later put to wake the taker.
TEST(RelayRing, RandomBurstsAndPausesLoseNoWakeUp)
{
    using ns = std::chrono::nanoseconds;
    const ns spin = vexa::PacketRing::DEFAULT_SPIN;
    const HandOff::Setting settings[] = {{ns(0), ns(0), 1}, {spin, spin, 1}, {spin, ns(0), 3}};
    for (const HandOff::Setting& setting : settings) {
        const std::string name = "filled spin " + std::to_string(setting.filled_spin.count()) +
                                 " ns, free spin " + std::to_string(setting.free_spin.count()) +
                                 " ns, free batch " + std::to_string(setting.free_batch);
        // Shared with the threads, so a stuck one can be left behind.
        auto h = std::make_shared<HandOff>(setting);
        std::thread consumer([h] {
            std::mt19937 rng(7);
            int32_t expected = 1;
            while (vexa::PacketForwarder* b = h->filled.take()) {
                if (b->length != expected)
                    ++h->disorder;
                expected = b->length + 1;
                h->taken.store(b->length);
                // Holding the buffer makes the producer run out and sleep.
                if (rng() % 4 == 0)
                    random_pause(rng);
                h->free_ring.put(b);
            }
        });
        std::thread producer([h] {
            std::mt19937 rng(11);
            const auto end = steady::now() + std::chrono::milliseconds(700);
            for (int round = 0; round < 5000 && steady::now() < end; ++round) {
                for (int k = 1 + static_cast<int>(rng() % 4); k > 0; --k) {
                    vexa::PacketForwarder* b = h->free_ring.take();
                    b->length = ++h->sent;
                    h->filled.put(b);
                }
                // A lost wake-up strands the burst's last buffer, as nothing
                // more is put until it is taken.
                const auto deadline = steady::now() + std::chrono::seconds(5);
                while (h->taken.load() != h->sent.load() && steady::now() < deadline)
                    std::this_thread::yield();
                if (h->taken.load() != h->sent.load()) {
                    h->stranded = true;
                    break;
                }
                random_pause(rng);
            }
            h->filled.put(nullptr);
            h->done = true;
        });
        // The producer can only stick in the free ring: a watchdog on progress.
        int32_t last = -1;
        auto progress_at = steady::now();
        while (!h->done.load() && steady::now() - progress_at < std::chrono::seconds(10)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (h->sent.load() + h->taken.load() != last) {
                last = h->sent.load() + h->taken.load();
                progress_at = steady::now();
            }
        }
        if (!h->done.load()) {
            ADD_FAILURE() << "the producer never woke on the free ring; " << name;
            producer.detach();
            consumer.detach();
            continue;
        }
        producer.join();
        consumer.join();
        EXPECT_FALSE(h->stranded.load()) << name << ", after " << h->sent.load();
        EXPECT_EQ(0, h->disorder.load()) << name;
        EXPECT_EQ(h->sent.load(), h->taken.load()) << name;
        EXPECT_GT(h->sent.load(), 200) << name;
    }
}

TEST(RelayRing, PoolsHoldOneBufferFewerThanSlots)
{
    vexa::Config::get_instance()->set("EnableRoamingIP", "1");
    boost::asio::io_service loop;
    auto relay = boost::make_shared<vexa::UDPServer>(loop, "127.0.0.1", "0", "127.0.0.1", "0");
    EXPECT_EQ(1023, relay->get_client_pool().free_buffers());
    EXPECT_EQ(4095, relay->get_server_pool().free_buffers());
    EXPECT_EQ("Client", relay->get_client_pool().get_name());
    EXPECT_EQ("Server", relay->get_server_pool().get_name());
}

TEST(RelayThreads, StopEndsTheFourThreadsAndReleasesTheRelay)
{
    vexa::Config::get_instance()->set("EnableRoamingIP", "1");
    boost::asio::io_service loop;
    boost::weak_ptr<vexa::UDPServer> weak;
    {
        auto relay = boost::make_shared<vexa::UDPServer>(loop, "127.0.0.1", "0", "127.0.0.1", "0");
        weak = relay;
        relay->start();
        relay->stop();
        relay->stop();  // idempotent
        EXPECT_EQ(1023, relay->get_client_pool().free_buffers() + 1);  // the receiver kept one
    }
    // Only the check's pending wait still holds it; the loop releases it.
    loop.run();
    EXPECT_TRUE(weak.expired());
}
