// The scripted broker's command helpers, used by the process tests of the
// gateway, checked against the real control server and its test double:
// replies are matched by their ID, and notifications that arrive while a
// reply is awaited are kept, not lost.
#include "ControlServerFixture.h"

#include <thread>

namespace {

class BrokerHelpers : public ControlServerTest {};

TEST_F(BrokerHelpers, AddAndRemoveConnectionReturnWhatTheGatewayAnswered)
{
    start_server();
    auto b = connect();
    EXPECT_EQ(b->add_connection(AddConnection::of(4443, "CTAG")), "") << "offline: refused";
    ASSERT_TRUE(b->init());

    cm.set_rtag("RTAG-1");
    AddConnection a = AddConnection::of(4443, "CTAG", "c-1");
    a.sg_sni = "sg.example";
    EXPECT_EQ(b->add_connection(a), "RTAG-1");
    const auto call = cm.add(0);  // the offline one never reached it
    EXPECT_EQ(call.ip_address, "127.0.0.1");
    EXPECT_EQ(call.tcp_port, "4443");
    EXPECT_EQ(call.ctag, "CTAG");
    EXPECT_EQ(call.connection_id, "c-1");
    EXPECT_EQ(call.sg_sni, "sg.example");
    EXPECT_EQ(call.server_sni, "kavri-default-sni");  // absent: the default

    cm.set_rtag("");
    EXPECT_EQ(b->add_connection(a), "");
    EXPECT_TRUE(b->remove_connection("RTAG-1"));
    EXPECT_TRUE(cm.wait_for_call("teardown_connection RTAG-1"));
}

TEST_F(BrokerHelpers, NotificationsArrivingBeforeAReplyAreKept)
{
    start_server();
    auto b = connect();
    ASSERT_TRUE(b->init());
    cm.set_rtag("R");
    ASSERT_EQ(b->add_connection(AddConnection::of(1, "T", "c-7")), "R");
    // The notification is queued before the next reply.
    std::thread([&] { cm.fire_closed(0, "ConnectionTimeout"); }).join();
    ASSERT_TRUE(b->remove_connection("R"));
    const auto n = b->next_notification();
    ASSERT_TRUE(n);
    EXPECT_EQ(n->command(), "connection-closed");
    EXPECT_EQ(n->element("reason"), std::optional<std::string>("ConnectionTimeout"));
    EXPECT_EQ(n->element("connection-id"), std::optional<std::string>("c-7"));
    EXPECT_TRUE(b->connection_closed_within(std::chrono::milliseconds(300)).empty());
}

}  // namespace
