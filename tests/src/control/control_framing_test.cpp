// Input framing over real sockets: header lines, documents up to the first
// closing tag, the 4096-byte input limit and the first-line check.
#include "ControlServerFixture.h"

namespace {

const std::string DOC_INIT = "<?xml version=\"1.0\"?>\r\n<kavri-sg version=\"1.0\">\r\n<init/>\r\n</kavri-sg>\r\n";
const std::string DOC_INFO = "<kavri-sg><get-info/></kavri-sg>";

std::string message(const std::string& id, const std::string& doc, const std::string& length = "")
{
    return "KAVRI-SG/1.0 TYPE=XML ID=" + id + " LENGTH=" + (length.empty() ? std::to_string(doc.size()) : length) +
           "\r\n" + doc;
}

class Framing : public ControlServerTest {};

TEST_F(Framing, PipelinedMessagesAreHandledInOrder)
{
    start_server();
    auto b = connect();
    // Three messages in one segment, the last with a LENGTH that lies.
    ASSERT_TRUE(b->send(message("a", DOC_INIT) + "\r\n" + message("b", DOC_INFO) + message("c", DOC_INFO, "0")));
    for (const char* id : {"a", "b", "c"}) {
        const auto reply = b->read_message();
        ASSERT_TRUE(reply) << id;
        EXPECT_EQ(reply->reply_id, std::optional<std::string>(id));
    }
}

TEST_F(Framing, MessageSplitAcrossManyWrites)
{
    start_server();
    auto b = connect();
    const std::string m = message("7", DOC_INIT);
    for (char c : m) {
        ASSERT_TRUE(b->send(std::string(1, c)));
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const auto reply = b->read_message();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->reply_id, std::optional<std::string>("7"));
}

TEST_F(Framing, OversizedInputIsDiscardedAndReadingResumes)
{
    start_server();
    auto b = connect();
    exchange(*b, "get-info", {}, "first");

    // A header line longer than the input buffer.
    ASSERT_TRUE(b->send(std::string(5000, 'h') + "\n" + message("after-line", DOC_INFO)));
    auto reply = b->read_message();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->reply_id, std::optional<std::string>("after-line"));
    EXPECT_EQ(log.count("*** XMLTCPControlConnection::Input buffer overflowed before end of line detected"), 1u);

    // A document longer than the input buffer; its tail is read as a junk line.
    const std::string big = "<kavri-sg><init>" + std::string(5000, ' ') + "</init></kavri-sg>\r\n";
    ASSERT_TRUE(b->send(message("big", big) + message("after-doc", DOC_INFO)));
    reply = b->read_message();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->reply_id, std::optional<std::string>("after-doc"));
    EXPECT_EQ(log.count("*** XMLTCPControlConnection::Input buffer overflowed before closing XML tag detected"), 1u);
    EXPECT_EQ(cm.call_count("get_statistics"), 0u);
    EXPECT_FALSE(server->is_online());  // the oversized init never ran
}

TEST_F(Framing, DocumentThatFillsTheBufferExactlyIsRead)
{
    start_server();
    auto b = connect();
    std::string doc = "<kavri-sg><get-info/>";
    doc += std::string(4096 - doc.size() - 11, ' ') + "</kavri-sg>";
    ASSERT_EQ(doc.size(), 4096u);
    ASSERT_TRUE(b->send("KAVRI-SG/1.0 ID=x\n" + doc));
    const auto reply = b->read_message();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->reply_id, std::optional<std::string>("x"));
}

TEST_F(Framing, FirstLineOfAPlainConnectionMustBeABrokers)
{
    start_server();
    {
        auto b = connect();
        ASSERT_TRUE(b->send("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
        EXPECT_TRUE(b->wait_closed());
        EXPECT_TRUE(log.wait_for("Bad XML from 127.0.0.1:"));
        EXPECT_TRUE(log.contains(". Closing connection."));
    }
    {
        // After a known token the same line is only skipped.
        auto b = connect();
        exchange(*b, "get-info", {}, "1");
        ASSERT_TRUE(b->send("GET / HTTP/1.1\r\n" + message("2", DOC_INFO)));
        const auto reply = b->read_message();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->reply_id, std::optional<std::string>("2"));
    }
    {
        // Known keywords without the protocol token clear the check; the
        // line itself is skipped.
        auto b = connect();
        ASSERT_TRUE(b->send("TYPE=XML ID=9\r\nGET / HTTP/1.1\r\n" + message("3", DOC_INFO)));
        const auto reply = b->read_message();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->reply_id, std::optional<std::string>("3"));
    }
}

TEST_F(Framing, BadDocumentsGetNoReplyAndTheConnectionStaysOpen)
{
    start_server();
    auto b = connect();
    const struct {
        std::string doc;
        std::string error;
    } cases[] = {
        // Closing tags are not matched to their opening ones.
        {"<kavri-sgx><init/></kavri-sg>", "failed to find kavri-sg XML tag"},
        {"<KAVRI-SG><init/></kavri-sg>", "failed to find kavri-sg XML tag"},
        {"<kavri-sg></kavri-sg>", "failed to find command XML tag"},
        {"<kavri-sg><init></kavri-sg>", "Error while parsing XML command: "},
        {"<kavri-sg><<</kavri-sg>", "Error while parsing XML command: "},
    };
    for (const auto& c : cases) {
        const std::size_t before = log.count("*** XMLTCPControlConnection::Error while parsing XML command: ");
        ASSERT_TRUE(b->send(message("bad", c.doc)));
        EXPECT_TRUE(log.wait_for("*** XMLTCPControlConnection::Error while parsing XML command: ", before + 1));
        EXPECT_TRUE(log.contains(c.error));
    }
    const BrokerMessage reply = exchange(*b, "get-info", {}, "good");
    EXPECT_EQ(reply.id, "0");  // nothing was sent for the bad ones
    EXPECT_EQ(reply.reply_id, std::optional<std::string>("good"));
}

TEST_F(Framing, RequestWithoutIdGetsAnEmptyReplyId)
{
    start_server();
    auto b = connect();
    ASSERT_TRUE(b->send("KAVRI-SG/1.0 TYPE=XML LENGTH=5\r\n" + DOC_INFO));
    const auto reply = b->read_message();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->header.rfind("KAVRI-SG/1.0 TYPE=XML ID=0 REPLYID= LENGTH=", 0), 0u) << reply->header;
}

TEST_F(Framing, PeerCloseEndsTheConnection)
{
    start_server();
    {
        auto b = connect();
        exchange(*b, "get-info");
        ASSERT_EQ(server->connection_count(), 1u);
    }
    EXPECT_TRUE(log.wait_for("*** XMLTCPControlConnection::Error on header-read: value="));
    EXPECT_TRUE(log.wait_for("Closing XMLTCP control connection to 127.0.0.1:"));
    EXPECT_EQ(server->connection_count(), 0u);
    EXPECT_TRUE(log.wait_for("Destroying XMLTCPControlConnection for 127.0.0.1:"));
}

}  // namespace
