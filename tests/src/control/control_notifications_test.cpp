// Session notifications raised from other threads, the send queue and its
// bound, and what happens to notifications of a connection that has gone.
#include "ControlServerFixture.h"

#include "ControlCommand.h"
#include "ControlMessage.h"
#include "XMLTCPControlConnection.h"

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <set>

namespace {

const ControlBroker::params_t add_params(const std::string& connection_id, const std::string& ctag = "SESS")
{
    return {{"ip-address", "10.1.2.3"}, {"tcp-port", "4172"}, {"ctag", ctag}, {"connection-id", connection_id}};
}

class Notifications : public ControlServerTest {
protected:
    // An online server with one session added by broker b.
    std::unique_ptr<ControlBroker> broker_with_session(const std::string& connection_id = "c1")
    {
        start_server();
        auto b = connect();
        exchange(*b, "init", {}, "i");
        exchange(*b, "add-connection", add_params(connection_id), "a");
        EXPECT_EQ(cm.add_count(), 1u);
        return b;
    }

    void fire_state_from_thread(std::size_t session, eSESSION_STATE state)
    {
        std::thread([&] { cm.fire_state(session, state); }).join();
    }
    void fire_closed_from_thread(std::size_t session, const std::string& reason)
    {
        std::thread([&] { cm.fire_closed(session, reason); }).join();
    }
};

TEST_F(Notifications, ExactDocuments)
{
    set("TCPControlSendStateChangedNotifications", "1");
    auto b = broker_with_session("c1");
    fire_state_from_thread(0, ACTIVE);
    fire_closed_from_thread(0, "ConnectionTimeout");
    const auto state = b->read_message();
    const auto closed = b->read_message();
    ASSERT_TRUE(state && closed);
    EXPECT_EQ(state->raw,
              "KAVRI-SG/1.0 TYPE=XML ID=2 LENGTH=248\r\n<?xml version=\"1.0\"?>\r\n<kavri-sg version=\"1.0\">\r\n"
              "   <connection-state-changed>\r\n      <connection-id>c1</connection-id>\r\n"
              "      <session-id>SESS</session-id>\r\n      <session-state>ACTIVE</session-state>\r\n"
              "   </connection-state-changed>\r\n</kavri-sg>\r\n");
    EXPECT_EQ(closed->raw,
              "KAVRI-SG/1.0 TYPE=XML ID=3 LENGTH=194\r\n<?xml version=\"1.0\"?>\r\n<kavri-sg version=\"1.0\">\r\n"
              "   <connection-closed>\r\n      <connection-id>c1</connection-id>\r\n"
              "      <reason>ConnectionTimeout</reason>\r\n   </connection-closed>\r\n</kavri-sg>\r\n");
    EXPECT_TRUE(log.contains("Sending <connection-state-changed> XML notification: state=ACTIVE session-id=SESS"));
    EXPECT_TRUE(log.contains("===> sending <connection-closed> notification: reason=ConnectionTimeout"));
}

TEST_F(Notifications, ValuesAreEscapedAndConnectionIdKeptUntrimmed)
{
    set("TCPControlSendStateChangedNotifications", "1");
    auto b = broker_with_session(" a&amp;b&lt;c ");
    fire_state_from_thread(0, PENDING_RESUME);
    fire_closed_from_thread(0, "Resume<Timeout>");
    const auto state = b->read_message();
    const auto closed = b->read_message();
    ASSERT_TRUE(state && closed);
    EXPECT_NE(state->body.find("<connection-id> a&amp;b&lt;c </connection-id>"), std::string::npos);
    EXPECT_NE(state->body.find("<session-state>PENDING_RESUME</session-state>"), std::string::npos);
    EXPECT_NE(closed->body.find("<reason>Resume&lt;Timeout&gt;</reason>"), std::string::npos);
    EXPECT_EQ(vexa::ControlCommand::parse(closed->body.data(), closed->body.size()).params.at("reason"),
              "Resume<Timeout>");
}

TEST_F(Notifications, StateSettingGatesOnlyStateChanges)
{
    const struct {
        const char* setting;
        bool states_sent;
    } cases[] = {{"0", false}, {"1", true}, {"", true}, {"false", true}};
    for (const auto& c : cases) {
        set("TCPControlSendStateChangedNotifications", c.setting);
        auto b = broker_with_session();
        fire_state_from_thread(0, INTERRUPTED);
        fire_closed_from_thread(0, "ResumeTimeout");
        const auto messages = b->read_all();
        ASSERT_EQ(messages.size(), c.states_sent ? 2u : 1u) << "setting '" << c.setting << "'";
        if (c.states_sent) {
            EXPECT_NE(messages[0].body.find("<session-state>INTERRUPTED</session-state>"), std::string::npos);
        }
        EXPECT_NE(messages.back().body.find("<reason>ResumeTimeout</reason>"), std::string::npos);
        EXPECT_TRUE(log.contains(std::string("Send <connection-state-changed> notification Enabled: ") +
                                 (c.states_sent ? "1" : "0")));
        b.reset();
        stop_server();
    }
}

TEST_F(Notifications, StateSettingIsReadWhenTheConnectionIsMade)
{
    set("TCPControlSendStateChangedNotifications", "1");
    auto b = broker_with_session();
    set("TCPControlSendStateChangedNotifications", "0");
    fire_state_from_thread(0, ACTIVE);
    const auto note = b->read_message();
    ASSERT_TRUE(note);
    EXPECT_NE(note->body.find("<session-state>ACTIVE</session-state>"), std::string::npos);
}

TEST_F(Notifications, OnlyTheConnectionThatAddedTheSessionIsNotified)
{
    set("TCPControlSendStateChangedNotifications", "1");
    auto a = broker_with_session("ca");
    auto b = connect();
    exchange(*b, "add-connection", add_params("cb"), "b");
    ASSERT_EQ(cm.add_count(), 2u);
    const struct {
        std::size_t session;
        ControlBroker* told;
        ControlBroker* other;
        std::string connection_id;
    } cases[] = {{0, a.get(), b.get(), "ca"}, {1, b.get(), a.get(), "cb"}};
    for (const auto& c : cases) {
        fire_state_from_thread(c.session, INTERRUPTED);
        fire_closed_from_thread(c.session, "ConnectionTimeout");
        for (int i = 0; i < 2; ++i) {
            const auto m = c.told->read_message();
            ASSERT_TRUE(m) << c.connection_id;
            EXPECT_NE(m->body.find("<connection-id>" + c.connection_id + "</connection-id>"), std::string::npos);
        }
        EXPECT_TRUE(c.other->read_all().empty()) << c.connection_id;
    }
}

TEST_F(Notifications, StatesTheBrokerDoesNotKnowAreNotSent)
{
    set("TCPControlSendStateChangedNotifications", "1");
    auto b = broker_with_session();
    for (int state : {0, 1, 5}) {
        fire_state_from_thread(0, static_cast<eSESSION_STATE>(state));
        EXPECT_TRUE(log.contains("Failed to send a <connection-state-changed> XML notification because session-state=" +
                                 std::to_string(state) + " is unknown: session-id=SESS"));
    }
    // Nothing was queued: the next message is the next reply.
    EXPECT_EQ(exchange(*b, "get-info").id, "2");
}

TEST_F(Notifications, ManyThreadsWhileTheBrokerPipelinesRequests)
{
    set("TCPControlSendStateChangedNotifications", "1");
    auto b = broker_with_session("c1");
    constexpr int THREADS = 8, EACH = 500, REQUESTS = 200;
    std::atomic<bool> go{false};
    std::vector<std::thread> raisers;
    for (int t = 0; t < THREADS; ++t)
        raisers.emplace_back([&, t] {
            while (!go)
                std::this_thread::yield();
            for (int i = 0; i < EACH; ++i) {
                const bool locked = t % 2 == 0;
                if ((i + t) % 2)
                    cm.fire_state(0, ACTIVE, locked);
                else
                    cm.fire_closed(0, "ConnectionTimeout", locked);
            }
        });
    std::string pipelined;
    for (int i = 0; i < REQUESTS; ++i)
        pipelined += ControlBroker::request("get-info", {}, "r" + std::to_string(i));
    go = true;
    ASSERT_TRUE(b->send(pipelined));
    for (auto& t : raisers)
        t.join();

    const int total = THREADS * EACH + REQUESTS;
    std::set<long> ids;
    long last = 1;
    int replies = 0, notes = 0;
    for (int i = 0; i < total; ++i) {
        const auto m = b->read_message();
        ASSERT_TRUE(m) << "after " << i << " messages";
        const long id = std::stol(m->id);
        EXPECT_GT(id, last);  // ids rise in wire order
        last = id;
        ids.insert(id);
        // Each message is one whole document.
        const auto doc = vexa::ControlCommand::parse(m->body.data(), m->body.size());
        if (m->reply_id) {
            EXPECT_EQ(*m->reply_id, "r" + std::to_string(replies));  // replies keep request order
            EXPECT_EQ(doc.name, "get-info");
            ++replies;
        } else {
            EXPECT_TRUE(doc.name == "connection-state-changed" || doc.name == "connection-closed");
            ++notes;
        }
    }
    EXPECT_EQ(replies, REQUESTS);
    EXPECT_EQ(notes, THREADS * EACH);
    EXPECT_EQ(ids.size(), static_cast<std::size_t>(total));
    EXPECT_EQ(*ids.begin(), 2);
    EXPECT_EQ(*ids.rbegin(), total + 1);
}

TEST_F(Notifications, QueuedBehindALargeReplyInPushOrder)
{
    set("TCPControlSendStateChangedNotifications", "1");
    auto b = broker_with_session();
    cm.set_json("{\"x\":\"" + std::string(1024 * 1024, 'j') + "\"}");
    ASSERT_TRUE(b->send_command("get-json-session-statistics", {}, "big"));
    // Its first bytes on the wire show the reply is queued.
    ASSERT_TRUE(b->wait_readable());
    std::thread([&] {
        for (int i = 0; i < 20; ++i)
            cm.fire_closed(0, "reason" + std::to_string(i));
    }).join();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // a slow reader
    const auto big = b->read_message();
    ASSERT_TRUE(big);
    EXPECT_EQ(big->reply_id, std::optional<std::string>("big"));
    EXPECT_EQ(big->length, big->body.size());
    EXPECT_GT(big->length, 1024u * 1024u);
    for (int i = 0; i < 20; ++i) {
        const auto m = b->read_message();
        ASSERT_TRUE(m);
        EXPECT_NE(m->body.find("<reason>reason" + std::to_string(i) + "</reason>"), std::string::npos);
    }
}

TEST_F(Notifications, AfterTheBrokerLeftNothingIsSentAndTheConnectionIsReleased)
{
    set("TCPControlSendStateChangedNotifications", "1");
    auto b = broker_with_session();
    b.reset();
    ASSERT_TRUE(log.wait_for("Closing XMLTCP control connection to"));
    fire_state_from_thread(0, ACTIVE);
    fire_closed_from_thread(0, "ConnectionTimeout");
    EXPECT_TRUE(log.contains("Skipping sending a <connection-state-changed> XML notification because we are stopping"));
    EXPECT_TRUE(log.contains("not sending connection-close notification: reason=ConnectionTimeout because the socket is not open"));
    // The session's callbacks held the connection; dropping them releases it.
    EXPECT_EQ(log.count("Destroying XMLTCPControlConnection for"), 0u);
    cm.drop_sessions();
    EXPECT_TRUE(log.wait_for("Destroying XMLTCPControlConnection for 127.0.0.1:"));
}

TEST_F(Notifications, AfterShutdownNothingIsSent)
{
    set("TCPControlSendStateChangedNotifications", "1");
    auto b = broker_with_session();
    ASSERT_TRUE(b->send_command("shutdown"));
    ASSERT_TRUE(cm.wait_for_call("shutdown"));
    fire_state_from_thread(0, INTERRUPTED);
    fire_closed_from_thread(0, "ResumeTimeout");
    EXPECT_TRUE(log.contains("Skipping sending a <connection-state-changed> XML notification because we are stopping"));
    EXPECT_TRUE(log.contains("not sending connection-close notification: reason=ResumeTimeout"));
    EXPECT_TRUE(b->wait_closed());
}

TEST_F(Notifications, StalledBrokerStaysBoundedAndIsClosed)
{
    const std::size_t budget = vexa::XMLTCPControlConnection::SEND_QUEUE_BYTE_BUDGET;
    const struct {
        std::size_t id_length;  // sets the size of each notification
        std::string overflow;   // the one record of the overflow
    } cases[] = {
        // About 1.2 KB each: the count gives out first.
        {1000, "send queue full (10000 messages); closing the control connection to 127.0.0.1:"},
        // About 3.7 KB each: the byte budget gives out long before the count.
        {3500, "send queue over its budget (" + std::to_string(budget) +
                   " bytes); closing the control connection to 127.0.0.1:"},
    };
    std::size_t overflows = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id_length);
        start_server();
        auto b = std::make_unique<ControlBroker>();
        ASSERT_TRUE(b->connect(server->local_port()));
        int small = 4096;
        ::setsockopt(b->fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        exchange(*b, "init");
        // Long ids make each message large, so the socket buffers fill early.
        exchange(*b, "add-connection", add_params(std::string(c.id_length, 'c')));
        ASSERT_EQ(cm.add_count(), 1u);

        constexpr int RAISED = 40000;
        std::size_t most_queued = 0;
        const auto t0 = std::chrono::steady_clock::now();
        std::thread([&] {
            for (int i = 0; i < RAISED; ++i) {
                cm.fire_closed(0, "ConnectionTimeout");
                if (i % 64 == 0)
                    most_queued = std::max(most_queued, server->queued_bytes());
            }
        }).join();
        // Raising never waited on the stalled broker.
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20));
        EXPECT_LE(most_queued, budget);
        EXPECT_TRUE(log.wait_for(c.overflow));
        EXPECT_EQ(log.count("send queue full") + log.count("send queue over its budget"), ++overflows);
        EXPECT_TRUE(log.wait_for("Closing XMLTCP control connection to", overflows));
        EXPECT_EQ(server->connection_count(), 0u);
        // What reaches the broker are whole messages, in order.
        long last = 1;
        for (int i = 0; i < 50; ++i) {
            const auto m = b->read_message();
            ASSERT_TRUE(m);
            EXPECT_EQ(m->length, m->body.size());
            EXPECT_EQ(std::stol(m->id), last + 1);
            last = std::stol(m->id);
        }
        b.reset();
        stop_server();
    }
}

class SendBudget : public ControlServerTest {};

TEST_F(SendBudget, UnreadStatisticsFloodPausesReadingWithinTheBudget)
{
    const std::size_t budget = vexa::XMLTCPControlConnection::SEND_QUEUE_BYTE_BUDGET;
    start_server();
    auto b = connect();
    const std::string json = "{\"x\":\"" + std::string(1024 * 1024, 'j') + "\"}";
    cm.set_json(json);
    const std::string body = vexa::control_message::json_statistics_body(json);
    const std::size_t reply = framed(99, "s99", body).size();

    // Four times the budget is asked for, and nothing is read.
    constexpr int ASKED = 64;
    std::string flood;
    for (int i = 0; i < ASKED; ++i)
        flood += ControlBroker::request("get-json-session-statistics", {}, "s" + std::to_string(i));
    ASSERT_TRUE(b->send(flood));
    // Until the broker reads, the gateway takes no more requests: wait for the
    // count of answered ones to settle once reading paused (or all were
    // answered), watching the queue all along.
    const std::string asked = "populate_json_session_statistics";
    const std::string paused = "bytes of replies queued for 127.0.0.1:";
    std::size_t most_queued = 0, answered = cm.call_count(asked);
    auto settled_since = std::chrono::steady_clock::now();
    const auto deadline = settled_since + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() - settled_since < std::chrono::seconds(1) ||
           !(log.contains(paused) || answered == ASKED)) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        most_queued = std::max(most_queued, server->queued_bytes());
        const std::size_t now = cm.call_count(asked);
        if (now != answered) {
            answered = now;
            settled_since = std::chrono::steady_clock::now();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_LT(answered, static_cast<std::size_t>(ASKED));
    EXPECT_TRUE(log.contains(paused));
    EXPECT_GT(server->queued_bytes(), budget / 2);
    // One reply may pass the budget; the next command then waits.
    EXPECT_LE(most_queued, budget + reply);

    // Once the broker reads, every request is answered, in order.
    for (int i = 0; i < ASKED; ++i) {
        const auto m = b->read_message(std::chrono::seconds(30));
        ASSERT_TRUE(m) << "reply " << i;
        EXPECT_EQ(m->reply_id, std::optional<std::string>("s" + std::to_string(i)));
        EXPECT_EQ(m->body.size(), m->length);
        EXPECT_TRUE(m->body == body) << "reply " << i;
    }
    EXPECT_EQ(cm.call_count(asked), static_cast<std::size_t>(ASKED));
    EXPECT_EQ(server->connection_count(), 1u);
    EXPECT_EQ(exchange(*b, "get-info").id, std::to_string(ASKED));
}

}  // namespace
