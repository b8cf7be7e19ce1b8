// Commands and their replies over a real loopback connection.
#include "ControlServerFixture.h"

#include "CommonUtil.h"

#include <boost/regex.hpp>

#include <functional>

namespace {

const std::string P = "<?xml version=\"1.0\"?>\r\n<kavri-sg version=\"1.0\">\r\n";

std::string body(const std::string& command, const std::string& entries)
{
    return P + "<" + command + ">\r\n" + entries + "</" + command + ">\r\n</kavri-sg>\r\n";
}

const ControlBroker::params_t ADD_PARAMS = {{"ip-address", "10.1.2.3"},
                                           {"tcp-port", "4172"},
                                           {"ctag", "T1"},
                                           {"connection-id", "c1"}};

class Commands : public ControlServerTest {};

TEST_F(Commands, ScriptOfRepliesByteForByte)
{
    start_server();
    auto b = connect();
    const std::string info = "<build-id>" + vexa::get_build_id() + "</build-id>\r\n<result>ok</result>\r\n";
    const struct Step {
        std::string command;
        ControlBroker::params_t params;
        std::function<void(FakeConnectionManager&)> setup;
        std::string body;
    } script[] = {
        {"get-info", {}, nullptr, body("get-info", info + "<state>offline</state>\r\n")},
        // Offline: refused before any parameter is looked at; no sg-sni entry.
        {"add-connection", {}, nullptr,
         body("add-connection", "<result>Invalid</result>\r\n<rtag></rtag>\r\n")},
        {"init", {}, nullptr, body("init", "<result>ok</result>\r\n")},
        {"init", {}, nullptr, body("init", "<result>ok</result>\r\n")},
        {"get-info", {}, nullptr, body("get-info", info + "<state>online</state>\r\n")},
        {"get-counters", {},
         [](FakeConnectionManager& m) { m.set_statistics({{"sessions", "3"}, {"sessions_hwm", "7<&>"}}); },
         body("get-counters", "<result>ok</result>\r\n<sessions>3</sessions>\r\n"
                              "<sessions_hwm>7&lt;&amp;&gt;</sessions_hwm>\r\n")},
        {"add-connection", ADD_PARAMS, nullptr,
         body("add-connection",
              "<result>ok</result>\r\n<rtag>R</rtag>\r\n<sg-sni>kavri-default-sg-sni</sg-sni>\r\n")},
        {"add-connection",
         {{"ip-address", "10.1.2.3"}, {"tcp-port", "4172"}, {"ctag", "T2"}, {"connection-id", "c2"},
          {"sg-sni", "gw.example"}},
         [](FakeConnectionManager& m) { m.set_rtag(""); },
         body("add-connection",
              "<result>Invalid</result>\r\n<rtag></rtag>\r\n<sg-sni>gw.example</sg-sni>\r\n")},
        {"remove-connection", {{"rtag", "R"}}, nullptr,
         body("remove-connection", "<result>ok</result>\r\n")},
        {"get-json-session-statistics", {}, nullptr,
         P + "<get-json-session-statistics>\r\n{}</get-json-session-statistics>\r\n</kavri-sg>\r\n"},
        {"reset", {}, nullptr, body("reset", "<result>ok</result>\r\n")},
        {"reset", {}, nullptr, body("reset", "<result>ok</result>\r\n")},
        {"get-info", {}, nullptr, body("get-info", info + "<state>offline</state>\r\n")},
    };
    int id = 0;
    for (const Step& s : script) {
        if (s.setup)
            s.setup(cm);
        const std::string request_id = std::to_string(100 + id);
        const BrokerMessage reply = exchange(*b, s.command, s.params, request_id);
        EXPECT_EQ(reply.raw, framed(id, request_id, s.body)) << "step " << id << ": " << s.command;
        ++id;
    }
    EXPECT_EQ(body("init", "<result>ok</result>\r\n").size(), 100u);

    EXPECT_EQ(log.count("Ignoring multiple inits"), 1u);
    EXPECT_EQ(log.count("Ignoring multiple resets"), 1u);
    EXPECT_EQ(log.count("***                    Server is online                         ***"), 1u);
    EXPECT_EQ(log.count("***                    Server is offline                        ***"), 1u);
    EXPECT_EQ(log.count(std::string(67, '*')), 4u);
    EXPECT_EQ(log.count("Received add-connection message when server is not online."), 1u);

    ASSERT_EQ(cm.add_count(), 2u);
    const auto first = cm.add(0);
    EXPECT_EQ(first.ip_address, "10.1.2.3");
    EXPECT_EQ(first.tcp_port, "4172");
    EXPECT_EQ(first.sg_sni, "kavri-default-sg-sni");
    EXPECT_EQ(first.server_sni, "kavri-default-sni");
    EXPECT_EQ(first.ctag, "T1");
    EXPECT_EQ(first.connection_id, "c1");
    EXPECT_EQ(cm.add(1).sg_sni, "gw.example");
    // remove-connection handed its rtag to the teardown.
    const auto calls = cm.call_log();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "teardown_connection R"), calls.end());
}

TEST_F(Commands, RemoveConnectionRepliesBeforeTheTeardown)
{
    start_server();
    auto b = connect();
    exchange(*b, "init", {}, "1");
    exchange(*b, "add-connection", ADD_PARAMS, "2");
    // The teardown ends a session, which notifies at once: the reply must
    // already be queued ahead of that notification.
    cm.set_on_teardown([this] { cm.fire_closed(0, "ConnectionTimeout"); });
    ASSERT_TRUE(b->send_command("remove-connection", {{"rtag", "R"}}, "9"));
    const auto reply = b->read_message();
    const auto note = b->read_message();
    ASSERT_TRUE(reply && note);
    EXPECT_EQ(reply->raw, framed(2, "9", body("remove-connection", "<result>ok</result>\r\n")));
    EXPECT_EQ(note->id, "3");
    EXPECT_FALSE(note->reply_id);
    EXPECT_TRUE(cm.wait_for_call("teardown_connection R"));
    EXPECT_TRUE(log.contains("*** XMLTCPControlConnection::Processing remove-connection cmd"));
}

TEST_F(Commands, LargeJsonStatisticsAreNotCut)
{
    start_server();
    auto b = connect();
    std::string json = "{";
    while (json.size() < 100 * 1024)
        json += "\"c" + std::to_string(json.size()) + "\":{\"packet-count\":0},";
    json.back() = '}';
    cm.set_json(json);
    const BrokerMessage reply = exchange(*b, "get-json-session-statistics", {}, "5");
    const std::string expected =
        P + "<get-json-session-statistics>\r\n" + json + "</get-json-session-statistics>\r\n</kavri-sg>\r\n";
    EXPECT_EQ(reply.length, expected.size());
    EXPECT_EQ(reply.body, expected);
    EXPECT_TRUE(log.contains("JSON session statistics generated in "));
}

TEST_F(Commands, LongValuesGiveWellFormedRepliesWithMatchingLength)
{
    start_server();
    auto b = connect();
    exchange(*b, "init");
    const std::string sni(5000, 'g');
    cm.set_rtag("r<&>" + std::string(4000, 'r'));
    // The request itself must fit the 4096-byte input, so the long value comes
    // from the default setting.
    set("DefaultSgSni", sni + "<&>");
    const BrokerMessage reply = exchange(*b, "add-connection", ADD_PARAMS, "2");
    EXPECT_EQ(reply.body.size(), reply.length);
    EXPECT_EQ(reply.body, body("add-connection", "<result>ok</result>\r\n<rtag>r&lt;&amp;&gt;" +
                                                     std::string(4000, 'r') + "</rtag>\r\n<sg-sni>" +
                                                     sni + "&lt;&amp;&gt;</sg-sni>\r\n"));
}

TEST_F(Commands, MissingRequiredParameterGivesNoReply)
{
    start_server();
    auto b = connect();
    exchange(*b, "init", {}, "0");
    const struct {
        std::vector<std::string> drop;
        std::string error;
    } cases[] = {
        {{"ip-address"}, "add-connection missing required ip-address field"},
        {{"tcp-port"}, "add-connection missing required tcp-port field"},
        {{"ctag", "tcp-port"}, "add-connection missing required tcp-port field"},
        {{"ctag"}, "add-connection missing required ctag field"},
        {{"connection-id"}, "add-connection missing required connection-id field"},
    };
    int id = 1;
    for (const auto& c : cases) {
        ControlBroker::params_t params;
        for (const auto& p : ADD_PARAMS)
            if (std::find(c.drop.begin(), c.drop.end(), p.first) == c.drop.end())
                params.push_back(p);
        ASSERT_TRUE(b->send_command("add-connection", params, "x"));
        EXPECT_TRUE(log.wait_for("*** XMLTCPControlConnection::Error while parsing XML command: " + c.error));
        // No reply was written: the next reply carries the next id.
        const BrokerMessage info = exchange(*b, "get-info", {}, "y");
        EXPECT_EQ(info.id, std::to_string(id)) << c.error;
        EXPECT_EQ(info.reply_id, std::optional<std::string>("y"));
        ++id;
    }
    ASSERT_TRUE(b->send_command("remove-connection", {}, "z"));
    EXPECT_TRUE(log.wait_for("remove-connection missing required rtag field"));
    EXPECT_EQ(exchange(*b, "get-info").id, std::to_string(id));
    EXPECT_EQ(cm.add_count(), 0u);
    EXPECT_EQ(cm.call_count("teardown_connection "), 0u);
}

TEST_F(Commands, ParametersAsTheGatewayReceivesThem)
{
    start_server();
    auto b = connect();
    exchange(*b, "init");
    // A version-1 tag: the session id is characters 92..103.
    const std::string ctag = "SCS1" + std::string(88, 'x') + "SESSIONID123";
    ASSERT_EQ(ctag.size(), 104u);
    const std::string doc =
        "<?xml version=\"1.0\"?>\r\n<kavri-sg version=\"1.0\">\r\n<add-connection>\r\n"
        "<ip-address> 10.0.0.1 </ip-address>\r\n<tcp-port>1</tcp-port>\r\n<tcp-port>2</tcp-port>\r\n"
        "<ctag>" + ctag + "</ctag>\r\n<connection-id>a&amp;b</connection-id>\r\n"
        "<server-sni></server-sni>\r\n<extra>ignored</extra>\r\n</add-connection>\r\n</kavri-sg>\r\n";
    ASSERT_TRUE(b->send("KAVRI-SG/1.0 TYPE=XML ID=3 LENGTH=0\r\n" + doc));
    const auto reply = b->read_message();
    ASSERT_TRUE(reply);
    ASSERT_EQ(cm.add_count(), 1u);
    const auto call = cm.add(0);
    EXPECT_EQ(call.ip_address, " 10.0.0.1 ");
    EXPECT_EQ(call.tcp_port, "1");
    EXPECT_EQ(call.connection_id, "a&b");
    EXPECT_EQ(call.server_sni, "");  // present but empty: not the default
    EXPECT_TRUE(log.contains("Parameter: tcp-port appeared twice. Second occurrence ignored."));
    EXPECT_TRUE(log.contains("Parameter: ctag session-id portion of the value: SESSIONID123"));
    EXPECT_TRUE(log.contains("Parameter: connection-id Value: a&b"));
    EXPECT_FALSE(log.contains(ctag));  // a tag is never logged whole

    // The state callback names the session by the ctag's session id.
    set("TCPControlSendStateChangedNotifications", "1");
    auto b2 = connect();
    exchange(*b2, "add-connection", {{"ip-address", "h"}, {"tcp-port", "1"}, {"ctag", ctag}, {"connection-id", "c9"}});
    ASSERT_EQ(cm.add_count(), 2u);
    std::thread([this] { cm.fire_state(1, ACTIVE); }).join();
    const auto note = b2->read_message();
    ASSERT_TRUE(note);
    EXPECT_NE(note->body.find("<session-id>SESSIONID123</session-id>"), std::string::npos);
}

TEST_F(Commands, SessionLogIdFromTheConnectionId)
{
    start_server();
    auto b = connect();
    exchange(*b, "init");
    const boost::regex generated("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    const std::string upper = "ABCDEF01-2345-6789-ABCD-EF0123456789";
    const std::string not_uuid_36(36, 'z');
    const std::string too_long = std::string(36, 'q') + "wxyz";
    const struct {
        std::string connection_id;
        std::string log_id;  // empty: a fresh UUID is expected
        std::string record;
    } cases[] = {
        {"", "", "No Session Log ID was provided; a new one has been generated: "},
        {" " + upper + " ", upper, ""},
        {"0f8fad5b-d9cb-469f-a165-70867728950e", "0f8fad5b-d9cb-469f-a165-70867728950e", ""},
        {not_uuid_36, "", "Received Session Log ID (" + not_uuid_36 + ") was not in the correct format; a new one has been generated: "},
        {too_long, "", "Received Session Log ID (" + std::string(36, 'q') + "...) was too long; a new one has been generated: "},
        {upper + "0", "", "Received Session Log ID (" + upper + "...) was too long; a new one has been generated: "},
    };
    std::size_t i = 0;
    for (const auto& c : cases) {
        exchange(*b, "add-connection",
                 {{"ip-address", "h"}, {"tcp-port", "1"}, {"ctag", "T"}, {"connection-id", c.connection_id}});
        ASSERT_EQ(cm.add_count(), i + 1);
        const auto call = cm.add(i);
        EXPECT_EQ(call.connection_id, c.connection_id);  // untrimmed
        if (c.log_id.empty()) {
            EXPECT_TRUE(boost::regex_match(call.session_log_id, generated)) << call.session_log_id;
            const std::string line = log.first_line_with(c.record + call.session_log_id);
            EXPECT_FALSE(line.empty()) << c.record;
            // The record carries the new id as its session log id.
            EXPECT_NE(line.find(" " + call.session_log_id + "> "), std::string::npos) << line;
        } else {
            EXPECT_EQ(call.session_log_id, c.log_id);
        }
        ++i;
    }
    EXPECT_NE(cm.add(0).session_log_id, cm.add(1).session_log_id);
    // "===> connection added" carries it.
    EXPECT_FALSE(log.first_line_with(" " + upper + "> ").empty());
}

TEST_F(Commands, UnknownCommandsAndCaseAreIgnored)
{
    start_server();
    auto b = connect();
    ASSERT_TRUE(b->send_command("INIT", {}, "1"));
    ASSERT_TRUE(b->send_command("frobnicate", {}, "2"));
    const BrokerMessage reply = exchange(*b, "get-info", {}, "3");
    EXPECT_EQ(reply.id, "0");
    EXPECT_EQ(reply.reply_id, std::optional<std::string>("3"));
    EXPECT_TRUE(log.contains("*** XMLTCPControlConnection::Received unknown XML command <INIT> - ignoring"));
    EXPECT_TRUE(log.contains("*** XMLTCPControlConnection::Received unknown XML command <frobnicate> - ignoring"));
}

TEST_F(Commands, ShutdownQuiescesTheChannelAndTheGateway)
{
    start_server();
    auto a = connect();
    auto b = connect();
    exchange(*a, "init");
    exchange(*b, "get-info");
    ASSERT_TRUE(a->send_command("shutdown"));
    EXPECT_TRUE(a->wait_closed());  // no reply; the requester is closed too
    EXPECT_TRUE(b->wait_closed());
    EXPECT_TRUE(cm.wait_for_call("shutdown"));
    EXPECT_EQ(cm.call_count("shutdown"), 1u);
    EXPECT_EQ(server->connection_count(), 0u);
    EXPECT_TRUE(server->is_online());  // the state is kept
    ControlBroker late;
    EXPECT_FALSE(late.connect(server->local_port()));
}

}  // namespace
