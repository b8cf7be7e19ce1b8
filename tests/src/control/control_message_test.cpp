// The pure pieces of the control channel: header tokens, command parsing,
// message writing and the bounded send queue.
#include "ConcurrentQueue.h"
#include "ControlCommand.h"
#include "ControlHeader.h"
#include "ControlMessage.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

using namespace vexa;

namespace {

struct HeaderCase {
    const char* line;
    bool flag_before;
    bool tls;
    bool protocol_seen;
    bool bad;
    bool flag_after;
    const char* id;
    uint32_t length;
};

class HeaderTokens : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderTokens, Walk)
{
    const HeaderCase& c = GetParam();
    bool flag = c.flag_before;
    const ControlHeader h = ControlHeader::parse(c.line, flag, c.tls);
    EXPECT_EQ(h.protocol_seen, c.protocol_seen);
    EXPECT_EQ(h.bad, c.bad);
    EXPECT_EQ(flag, c.flag_after);
    EXPECT_EQ(h.id, c.id);
    EXPECT_EQ(h.length, c.length);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, HeaderTokens,
    ::testing::Values(
        HeaderCase{"KAVRI-SG/1.0 TYPE=XML ID=5 LENGTH=10\r", true, false, true, false, false, "5", 10},
        // A web request as the first line of a plain connection is not a broker.
        HeaderCase{"GET / HTTP/1.1\r", true, false, false, true, true, "", 0},
        HeaderCase{"GET / HTTP/1.1\r", false, false, false, false, false, "", 0},
        HeaderCase{"GET / HTTP/1.1\r", true, true, false, false, true, "", 0},
        // Known keywords without the protocol token: skipped, flag cleared.
        HeaderCase{"TYPE=XML ID=9", true, false, false, false, false, "9", 0},
        HeaderCase{"", true, false, false, false, true, "", 0},
        HeaderCase{"\r", true, false, false, false, true, "", 0},
        HeaderCase{"KAVRI-SG/1.0 ID", true, false, true, false, false, "", 0},
        HeaderCase{"KAVRI-SG/1.0 ID==7", true, false, true, false, false, "7", 0},
        HeaderCase{"KAVRI-SG/1.0 LENGTH=abc", true, false, true, false, false, "", 0},
        HeaderCase{"KAVRI-SG/1.0 LENGTH=12x", true, false, true, false, false, "", 12},
        HeaderCase{"LENGTH=3 ID=x KAVRI-SG/1.0 TYPE=XML", true, false, true, false, false, "x", 3},
        // A tab is no separator: one unknown token.
        HeaderCase{"KAVRI-SG/1.0\tID=4", true, false, false, true, true, "", 0},
        HeaderCase{"KAVRI-SG/1.0 ID=4 junk", true, false, true, false, false, "4", 0},
        HeaderCase{"kavri-sg/1.0 ID=4", true, false, false, true, false, "4", 0}));

TEST(HeaderTokens, RecordsReplyIdAndType)
{
    bool flag = true;
    const ControlHeader h = ControlHeader::parse("KAVRI-SG/1.0 TYPE=XML ID=1 REPLYID=77", flag, false);
    EXPECT_EQ(h.type, "XML");
    EXPECT_EQ(h.reply_id, "77");
    EXPECT_EQ(h.walk, "Tokens: KAVRI-SG/1.0: XML: 1: 77");
}

ControlCommand parse(const std::string& doc) { return ControlCommand::parse(doc.data(), doc.size()); }

TEST(CommandParse, NameAndParametersInDocumentOrder)
{
    const ControlCommand c = parse(
        "<?xml version=\"1.0\"?>\r\n<!-- broker -->\r\n<kavri-sg version=\"9\">\r\n<add-connection>\r\n"
        "<ip-address> 10.0.0.1 </ip-address>\r\n<ctag>a&amp;b&lt;</ctag>\r\n"
        "<ip-address>second</ip-address><empty/>\r\n</add-connection>\r\n</kavri-sg>");
    EXPECT_EQ(c.name, "add-connection");
    ASSERT_EQ(c.parameters.size(), 4u);
    EXPECT_EQ(c.params.at("ip-address"), " 10.0.0.1 ");  // first occurrence, spaces kept
    EXPECT_TRUE(c.parameters[2].duplicate);
    EXPECT_EQ(c.params.at("ctag"), "a&b<");
    EXPECT_EQ(c.params.at("empty"), "");
}

TEST(CommandParse, Failures)
{
    const struct {
        std::string doc;
        std::string error;  // empty: any parser error
    } cases[] = {
        {"<kavri-sgx><init/></kavri-sgx>", "failed to find kavri-sg XML tag"},
        {"<KAVRI-SG><init/></KAVRI-SG>", "failed to find kavri-sg XML tag"},
        {"<kavri-sg></kavri-sg>", "failed to find command XML tag"},
        {"<kavri-sg>\r\n   \r\n</kavri-sg>", "failed to find command XML tag"},
        {"<kavri-sg><init></kavri-sg>", ""},
        {"<kavri-sg><in it/></kavri-sg>", ""},
        {"", "failed to find kavri-sg XML tag"},
        {std::string(4097, ' '), "number of received bytes exceeds size of parsing buffer"},
    };
    for (const auto& c : cases) {
        try {
            parse(c.doc);
            ADD_FAILURE() << "parsed: " << c.doc.substr(0, 60);
        } catch (const std::exception& e) {
            if (!c.error.empty()) {
                EXPECT_EQ(e.what(), c.error) << c.doc.substr(0, 60);
            }
        }
    }
}

TEST(CommandParse, DocumentOfExactlyTheLimit)
{
    std::string doc = "<kavri-sg><init/>";
    doc += std::string(ControlCommand::MAX_DOCUMENT - doc.size() - 11, ' ');
    doc += "</kavri-sg>";
    ASSERT_EQ(doc.size(), ControlCommand::MAX_DOCUMENT);
    EXPECT_EQ(parse(doc).name, "init");
}

TEST(Messages, HeaderIdPrintsAsSigned32Bit)
{
    const std::string reply_id = "17";
    EXPECT_EQ(control_message::header(4, &reply_id, 123), "KAVRI-SG/1.0 TYPE=XML ID=4 REPLYID=17 LENGTH=123\r\n");
    EXPECT_EQ(control_message::header(2147483647u, nullptr, 1), "KAVRI-SG/1.0 TYPE=XML ID=2147483647 LENGTH=1\r\n");
    EXPECT_EQ(control_message::header(2147483648u, nullptr, 1), "KAVRI-SG/1.0 TYPE=XML ID=-2147483648 LENGTH=1\r\n");
    const std::string empty;
    EXPECT_EQ(control_message::header(0, &empty, 0), "KAVRI-SG/1.0 TYPE=XML ID=0 REPLYID= LENGTH=0\r\n");
}

TEST(Messages, ValuesAreEscapedAndNeverCut)
{
    const std::string long_sni(5000, 's');
    const std::string short_body = control_message::reply_body("x", {{"rtag", "a<b>&c</kavri-sg>"}});
    // The escaped document reads back as the values that went in.
    EXPECT_EQ(parse(short_body).params.at("rtag"), "a<b>&c</kavri-sg>");

    const std::string body = control_message::reply_body(
        "add-connection", {{"result", "ok"}, {"rtag", "a<b>&c</kavri-sg>"}, {"sg-sni", long_sni}});
    EXPECT_EQ(body,
              "<?xml version=\"1.0\"?>\r\n<kavri-sg version=\"1.0\">\r\n<add-connection>\r\n"
              "<result>ok</result>\r\n<rtag>a&lt;b&gt;&amp;c&lt;/kavri-sg&gt;</rtag>\r\n<sg-sni>" +
                  long_sni + "</sg-sni>\r\n</add-connection>\r\n</kavri-sg>\r\n");

    EXPECT_EQ(control_message::closed_body("c<1>", "R&R"),
              "<?xml version=\"1.0\"?>\r\n<kavri-sg version=\"1.0\">\r\n   <connection-closed>\r\n"
              "      <connection-id>c&lt;1&gt;</connection-id>\r\n      <reason>R&amp;R</reason>\r\n"
              "   </connection-closed>\r\n</kavri-sg>\r\n");
    EXPECT_NE(control_message::state_changed_body("a&b", "S<", "ACTIVE").find(
                  "<connection-id>a&amp;b</connection-id>\r\n      <session-id>S&lt;</session-id>"),
              std::string::npos);
}

TEST(Messages, JsonIsWrittenVerbatim)
{
    EXPECT_EQ(control_message::json_statistics_body("{\"a\":\"<&>\"}"),
              "<?xml version=\"1.0\"?>\r\n<kavri-sg version=\"1.0\">\r\n<get-json-session-statistics>\r\n"
              "{\"a\":\"<&>\"}</get-json-session-statistics>\r\n</kavri-sg>\r\n");
}

TEST(SendQueue, BoundedInactiveAndDrained)
{
    concurrent_queue<std::unique_ptr<int>> q(2, 1000);
    auto a = std::make_unique<int>(1), b = std::make_unique<int>(2), c = std::make_unique<int>(3);
    using r = concurrent_queue<std::unique_ptr<int>>::push_result;
    const auto enforce = concurrent_queue<std::unique_ptr<int>>::budget::enforce;
    EXPECT_EQ(q.push(a, 1, enforce), r::pushed);
    EXPECT_EQ(q.push(b, 1, enforce), r::pushed);
    EXPECT_EQ(q.push(c, 1, enforce), r::full);
    ASSERT_TRUE(c);  // a refused item stays with the caller
    std::unique_ptr<int> out;
    ASSERT_TRUE(q.pop(out));
    EXPECT_EQ(*out, 1);
    auto left = q.deactivate();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(*left.front(), 2);
    EXPECT_EQ(q.push(c, 1, enforce), r::inactive);
    EXPECT_TRUE(c);
    EXPECT_FALSE(q.pop(out));
}

TEST(SendQueue, BytesAreHeldUntilReleased)
{
    using queue_t = concurrent_queue<int>;
    using r = queue_t::push_result;
    queue_t q(100, 1000);
    int v = 0;
    EXPECT_EQ(q.push(v, 600, queue_t::budget::enforce), r::pushed);
    // Would pass the budget: refused when enforced, taken when allowed to.
    EXPECT_EQ(q.push(v, 401, queue_t::budget::enforce), r::over_budget);
    EXPECT_EQ(q.push(v, 400, queue_t::budget::enforce), r::pushed);
    EXPECT_EQ(q.bytes(), 1000u);
    EXPECT_EQ(q.push(v, 1, queue_t::budget::enforce), r::over_budget);
    EXPECT_EQ(q.push(v, 5000, queue_t::budget::exceed), r::pushed);
    EXPECT_EQ(q.bytes(), 6000u);
    EXPECT_EQ(q.push(v, 0, queue_t::budget::enforce), r::pushed);  // above it, an empty item fits
    // Popping does not free the bytes; releasing does.
    ASSERT_TRUE(q.pop(v));
    EXPECT_EQ(q.bytes(), 6000u);
    EXPECT_EQ(q.release(600), 5400u);
    EXPECT_EQ(q.push(v, 1, queue_t::budget::enforce), r::over_budget);
    // Deactivating drops the stored items' bytes; those popped stay until released.
    ASSERT_TRUE(q.pop(v));
    EXPECT_EQ(q.deactivate().size(), 2u);
    EXPECT_EQ(q.bytes(), 400u);
    EXPECT_EQ(q.release(400), 0u);
    EXPECT_EQ(q.release(1), 0u);
}

TEST(SendQueue, DeactivateWakesABlockedConsumer)
{
    concurrent_queue<int> q(10, 10);
    std::atomic<bool> ended{false};
    std::thread consumer([&] {
        int v;
        while (q.pop(v)) {
        }
        ended = true;
    });
    int v = 1;
    q.push(v, 1, concurrent_queue<int>::budget::enforce);
    q.deactivate();
    consumer.join();
    EXPECT_TRUE(ended);
}

}  // namespace
