// Relay construction, its settings, the rings and stopping.
#include "PacketRing.h"
#include "relay_fixture.h"

#include <sys/socket.h>
#include <unistd.h>

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
    try {
        vexa::UDPServer second(loop, "127.0.0.1", "0", "127.0.0.1", busy);
        ADD_FAILURE() << "bound twice";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string::npos, std::string(e.what()).find("cannot bind the internal UDP socket to 127.0.0.1:" + busy))
            << e.what();
    }
    // An IPv6 text binds every IPv4 interface, with a warning.
    LogCapture log;
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
