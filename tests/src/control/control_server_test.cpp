// The listener: construction errors, the connection limit, TLS set-up and
// the quiet listener after "shutdown".
#include "ControlServerFixture.h"

#include "CertTestTools.h"

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>

#include <openssl/x509_vfy.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <system_error>
#include <vector>

namespace {

namespace fs = std::filesystem;

class Listener : public ControlServerTest {};

TEST_F(Listener, ConstructionErrorsNameTheFailingStep)
{
    auto first = std::make_shared<vexa::XMLTCPControlServer>("sni", "127.0.0.1", "0", cm);
    const std::string port = std::to_string(first->local_port());
    try {
        vexa::XMLTCPControlServer("sni", "127.0.0.1", port, cm);
        ADD_FAILURE() << "bound a port in use";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("bind: ", 0), 0u) << e.what();
    }
    try {
        vexa::XMLTCPControlServer("sni", "127.0.0.1", "no-such-service-name", cm);
        ADD_FAILURE() << "resolved a bad service";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("resolve: ", 0), 0u) << e.what();
    }
    EXPECT_TRUE(log.contains("XML TCP control server is up: 127.0.0.1:" + port));
    // The error text lacks the address and port; the record before the
    // throw names them.
    EXPECT_EQ(log.count("error   : control channel 127.0.0.1:" + port + ": bind: "), 1u);
    EXPECT_EQ(log.count("error   : control channel 127.0.0.1:no-such-service-name: resolve: "), 1u);
    first->stop();
}

struct LimitCase {
    const char* setting;
    int allowed;
};

class Limit : public ControlServerTest, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(Limit, CountBeforeThisConnectionMayReachTheSetting)
{
    set("TCPControlMaxConnections", GetParam().setting);
    start_server();
    std::vector<std::unique_ptr<ControlBroker>> open;
    for (int i = 0; i < GetParam().allowed; ++i) {
        open.push_back(connect());
        EXPECT_EQ(exchange(*open.back(), "get-info").id, "0") << "connection " << i;
    }
    ControlBroker refused;
    ASSERT_TRUE(refused.connect(server->local_port()));
    EXPECT_TRUE(refused.wait_closed());  // closed without a word
    EXPECT_TRUE(log.wait_for("cannot open another control connection because it exceeds the limit (opened-channels=" +
                             std::to_string(GetParam().allowed) + "). Dropping the connect request from 127.0.0.1:"));
    // The listener goes on serving the connections it has.
    EXPECT_EQ(exchange(*open.front(), "get-info").id, "1");
    // And admits again once one closes.
    open.pop_back();
    EXPECT_TRUE(log.wait_for("Closing XMLTCP control connection to"));
    auto again = connect();
    EXPECT_EQ(exchange(*again, "get-info").id, "0");
}

INSTANTIATE_TEST_SUITE_P(Settings, Limit,
                         ::testing::Values(LimitCase{"10", 11}, LimitCase{"0", 1}, LimitCase{"abc", 1},
                                           LimitCase{"2", 3}));

class SilentPeers : public ControlServerTest {};

TEST_F(SilentPeers, AreClosedSoTheBrokerGetsInOverTcp)
{
    const std::string record = "XMLTCPControlConnection: no complete message from 127.0.0.1:";
    const std::chrono::milliseconds first_message(1200);
    expect_silent_peers_closed_then_broker_gets_in(
        {
            {"sends nothing", false, "", record, first_message},
            // Bytes do not hold the deadline off; only a whole message does.
            {"sends a header but never its document", false, "KAVRI-SG/1.0 TYPE=XML ID=1 LENGTH=80\r\n<?xml",
             record, first_message},
        },
        false);
    EXPECT_TRUE(log.contains(" within 1200 ms of the accept; closing the control connection"));
}

TEST_F(Listener, NegativeLimitNeverRefuses)
{
    set("TCPControlMaxConnections", "-1");
    start_server();
    std::vector<std::unique_ptr<ControlBroker>> open;
    for (int i = 0; i < 30; ++i) {
        open.push_back(connect());
        EXPECT_EQ(exchange(*open.back(), "get-info").id, "0");
    }
    EXPECT_FALSE(log.contains("exceeds the limit"));
}

TEST_F(Listener, LimitIsReadAtEveryAccept)
{
    start_server();
    auto a = connect();
    auto b = connect();
    EXPECT_EQ(exchange(*a, "get-info").id, "0");
    EXPECT_EQ(exchange(*b, "get-info").id, "0");
    // Lowered while two are open: the next one is refused.
    set("TCPControlMaxConnections", "1");
    ControlBroker refused;
    ASSERT_TRUE(refused.connect(server->local_port()));
    EXPECT_TRUE(refused.wait_closed());
    EXPECT_TRUE(log.wait_for("exceeds the limit (opened-channels=2). Dropping the connect request from"));
    // Raised again: admitted without a restart.
    set("TCPControlMaxConnections", "2");
    auto c = connect();
    EXPECT_EQ(exchange(*c, "get-info").id, "0");
    EXPECT_EQ(server->connection_count(), 3u);
}

TEST_F(Listener, PeersThatResetAtOnceDoNotStopTheListener)
{
    start_server();
    // Each peer is gone (reset) by the time its accept is handled, so reading
    // its address may fail; the listener must carry on either way.
    for (int i = 0; i < 50; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_GE(fd, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(server->local_port());
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        linger reset{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        ::close(fd);
    }
    auto b = connect();
    EXPECT_EQ(exchange(*b, "get-info").id, "0");
    EXPECT_GT(log.count("XMLTCPControlServer::handle_accept: dropping the accepted connection: "), 0u);
}

TEST_F(Listener, AfterShutdownNoAcceptIsArmedAndTheLoopStaysUp)
{
    start_server();
    auto b = connect();
    ASSERT_TRUE(b->send_command("shutdown"));
    EXPECT_TRUE(b->wait_closed());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (cm.call_count("shutdown") == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(cm.call_count("shutdown"), 1u);
    // The port is closed: nobody is accepted any more.
    ControlBroker late;
    EXPECT_FALSE(late.connect(server->local_port()));
    // The control thread is still there and free: work posted to it runs
    // at once. Nothing is retried, so no accept error is logged.
    const auto quiet = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - quiet < std::chrono::milliseconds(2500)) {
        auto ran = std::make_shared<std::promise<void>>();
        boost::asio::post(server->get_io_service(), [ran] { ran->set_value(); });
        ASSERT_EQ(ran->get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(log.count("XMLTCPControlServer::Error on accept"), 0u);
    // And stop ends it at once.
    const auto t0 = std::chrono::steady_clock::now();
    stop_server();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(900));
}

TEST_F(Listener, StopIsIdempotentAndEndsOpenConnections)
{
    start_server();
    auto b = connect();
    exchange(*b, "get-info");
    server->stop();
    EXPECT_TRUE(b->wait_closed());
    server->stop();
    EXPECT_EQ(log.count("XML TCP control server stopped"), 2u);
    EXPECT_EQ(cm.call_count("shutdown"), 0u);
}

// Certificates made once for the TLS cases with the openssl command: the
// gateway's own (self-signed, one with an encrypted key), and three CAs that
// each issued a broker certificate; the gateway trusts the first
// (broker_ca.pem beside its own files), the second bears the same name.
class Tls : public ControlServerTest {
protected:
    static void SetUpTestSuite()
    {
        ControlServerTest::SetUpTestSuite();
        char tmpl[] = "/tmp/control_tls_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = new std::string(tmpl);
        const std::string d = *dir + "/";
        const std::string quiet = " >/dev/null 2>&1";
        ASSERT_EQ(std::system(("openssl req -x509 -newkey rsa:2048 -sha256 -nodes -days 1 -subj /CN=ctl -keyout " +
                               d + "key.pem -out " + d + "cert.pem" + quiet).c_str()), 0);
        ASSERT_EQ(std::system(("openssl genrsa -aes256 -passout pass:s3cret -out " + d + "enc_key.pem 2048" + quiet).c_str()), 0);
        ASSERT_EQ(std::system(("openssl req -x509 -new -key " + d + "enc_key.pem -passin pass:s3cret -sha256 -days 1 "
                               "-subj /CN=ctl -out " + d + "enc_cert.pem" + quiet).c_str()), 0);
        trusted_dir = new kavri_test::CertTestDir;
        other_dir = new kavri_test::CertTestDir;
        trusted = new kavri_test::OpensslPki(kavri_test::make_openssl_pki(*trusted_dir, "broker", "unused"));
        other = new kavri_test::OpensslPki(kavri_test::make_openssl_pki(*other_dir, "broker", "unused"));
        fs::copy_file(trusted->ca_cert, d + "broker_ca.pem");
        // A CA under a name of its own and a broker certificate it issued.
        for (const std::string& step :
             {"openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj '/CN=Elsewhere CA' -keyout " + d +
                  "elsewhere_ca.key -out " + d + "elsewhere_ca.pem",
              "openssl req -newkey rsa:2048 -nodes -subj /CN=broker -keyout " + d + "elsewhere.key -out " + d +
                  "elsewhere.csr",
              "openssl x509 -req -days 1 -in " + d + "elsewhere.csr -CA " + d + "elsewhere_ca.pem -CAkey " + d +
                  "elsewhere_ca.key -CAcreateserial -out " + d + "elsewhere.pem"}) {
            const auto r = kavri_test::run_command(step);
            ASSERT_EQ(r.status, 0) << step << ": " << r.output;
        }
        // The certificates are what the cases say, by an independent check.
        const auto trusted_check = kavri_test::run_command("openssl verify -CAfile " + trusted->ca_cert + " " + trusted->leaf_cert);
        ASSERT_EQ(trusted_check.status, 0) << trusted_check.output;
        const auto other_check = kavri_test::run_command("openssl verify -CAfile " + trusted->ca_cert + " " + other->leaf_cert);
        ASSERT_NE(other_check.status, 0) << other_check.output;
    }
    static void TearDownTestSuite()
    {
        fs::remove_all(*dir);
        delete dir;
        delete trusted;
        delete other;
        delete trusted_dir;
        delete other_dir;
    }

    void SetUp() override
    {
        ControlServerTest::SetUp();
        broker_cert = trusted->leaf_cert;
        broker_key = trusted->leaf_key;
    }

    void use(const std::string& cert, const std::string& key, const std::string& ca, const std::string& path)
    {
        set("TCPControlLinuxExtCert", cert);
        set("TCPControlLinuxExtPriv", key);
        set("TCPControlLinuxExtCA", ca);
        set("TCPControlCertPath", path);
    }

    static std::string* dir;
    static kavri_test::CertTestDir* trusted_dir;
    static kavri_test::CertTestDir* other_dir;
    static kavri_test::OpensslPki* trusted;
    static kavri_test::OpensslPki* other;
};
std::string* Tls::dir = nullptr;
kavri_test::CertTestDir* Tls::trusted_dir = nullptr;
kavri_test::CertTestDir* Tls::other_dir = nullptr;
kavri_test::OpensslPki* Tls::trusted = nullptr;
kavri_test::OpensslPki* Tls::other = nullptr;

TEST_F(Tls, ExchangesOverTls)
{
    use("cert.pem", "key.pem", "broker_ca.pem", *dir);  // no trailing "/": still inside the directory
    start_server();
    EXPECT_TRUE(log.contains("TLS enabled on XMLTCP control channel."));
    auto b = connect(true);
    ASSERT_TRUE(b->fd() >= 0);
    exchange(*b, "init", {}, "1");
    // Pipelined, with a web request line that TLS connections only skip.
    ASSERT_TRUE(b->send("GET / HTTP/1.1\r\n" + ControlBroker::request("get-info", {}, "2") +
                        ControlBroker::request("get-counters", {}, "3")));
    const auto info = b->read_message();
    const auto counters = b->read_message();
    ASSERT_TRUE(info && counters);
    EXPECT_EQ(info->reply_id, std::optional<std::string>("2"));
    EXPECT_NE(info->body.find("<state>online</state>"), std::string::npos);
    EXPECT_EQ(counters->reply_id, std::optional<std::string>("3"));
}

TEST_F(Tls, PlainClientAgainstTlsListenerIsRefusedCleanly)
{
    use("cert.pem", "key.pem", "broker_ca.pem", *dir + "/");
    start_server();
    auto plain = connect(false);
    ASSERT_TRUE(plain->send_command("init"));
    EXPECT_TRUE(plain->wait_closed());
    EXPECT_TRUE(log.wait_for("*** XMLTCPControlConnection::handle_handshake: TLS handshake failure: "));
    EXPECT_FALSE(server->is_online());
    auto tls = connect(true);
    EXPECT_EQ(exchange(*tls, "get-info").id, "0");
}

TEST_F(Tls, PassPhraseProtectedKey)
{
    use("enc_cert.pem", "enc_key.pem", "broker_ca.pem", *dir);
    set("TCPControlLinuxExtCertPhrase", "s3cret");
    start_server();
    auto b = connect(true);
    EXPECT_EQ(exchange(*b, "get-info").id, "0");
}

TEST_F(Tls, OnlyABrokerCertifiedByTheConfiguredCaReachesCommands)
{
    use("cert.pem", "key.pem", "broker_ca.pem", *dir);
    start_server();
    const struct {
        const char* what;
        std::string cert, key;
        std::string refusal;  // empty: admitted
    } cases[] = {
        {"no certificate", "", "", "peer did not return a certificate"},
        {"issued by another CA", *dir + "/elsewhere.pem", *dir + "/elsewhere.key",
         X509_verify_cert_error_string(X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY)},
        // Another CA under the trusted CA's very name: its signature gives it away.
        {"issued by a namesake CA", other->leaf_cert, other->leaf_key,
         X509_verify_cert_error_string(X509_V_ERR_CERT_SIGNATURE_FAILURE)},
        {"self-signed", *dir + "/cert.pem", *dir + "/key.pem",
         X509_verify_cert_error_string(X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT)},
        {"the other CA's own", other->ca_cert, other->ca_key,
         X509_verify_cert_error_string(X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT)},
        {"issued by the configured CA", trusted->leaf_cert, trusted->leaf_key, ""},
    };
    std::size_t refused = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ControlBroker b;
        b.set_client_certificate(c.cert, c.key);
        const bool connected = b.connect(server->local_port(), true);
        if (c.refusal.empty()) {
            ASSERT_TRUE(connected);
            exchange(b, "init", {}, "1");
            exchange(b, "get-counters", {}, "2");
            EXPECT_TRUE(server->is_online());
            EXPECT_EQ(cm.call_log(), std::vector<std::string>{"get_statistics"});
            continue;
        }
        // The handshake fails at the broker; should it complete there, the
        // gateway still reads nothing.
        if (connected) {
            b.send_command("init", {}, "1");
            b.send_command("get-counters", {}, "2");
            EXPECT_TRUE(b.wait_closed());
        }
        ASSERT_TRUE(log.wait_for("*** XMLTCPControlConnection: refused the control connection from 127.0.0.1:", ++refused));
        EXPECT_TRUE(log.contains(": certificate verification failed: " + c.refusal));
        // The refusal is logged inside the handshake; its failure record follows.
        EXPECT_TRUE(log.wait_for("*** XMLTCPControlConnection::handle_handshake: TLS handshake failure: ", refused));
        EXPECT_TRUE(log.wait_for("Closing XMLTCP control connection to", refused));
        EXPECT_FALSE(server->is_online());
        EXPECT_TRUE(cm.call_log().empty());
    }
}

TEST_F(Tls, SilentPeersAreClosedSoTheBrokerGetsIn)
{
    use("cert.pem", "key.pem", "broker_ca.pem", *dir);
    const std::string handshake = "XMLTCPControlConnection: no TLS handshake from 127.0.0.1:";
    const std::string message = "XMLTCPControlConnection: no complete message from 127.0.0.1:";
    expect_silent_peers_closed_then_broker_gets_in(
        {
            {"connects but never starts the handshake", false, "", handshake, std::chrono::milliseconds(400)},
            {"starts the handshake but never ends it", false, std::string("\x16\x03\x01\x02\x00\x01", 6), handshake,
             std::chrono::milliseconds(400)},
            {"completes the handshake, then says nothing", true, "", message, std::chrono::milliseconds(1200)},
        },
        true);
    EXPECT_TRUE(log.contains(" within 400 ms of the accept; closing the control connection"));
    // A handshake cut short by its deadline is not reported as failing.
    EXPECT_FALSE(log.contains("TLS handshake failure"));
}

// A real TLS client: without a certificate "shutdown" must not reach the
// gateway; with the CA's certificate it does.
TEST_F(Tls, OpensslClientNeedsTheCertificateToSendShutdown)
{
    use("cert.pem", "key.pem", "broker_ca.pem", *dir);
    start_server();
    const std::string input = *dir + "/shutdown.txt";
    kavri_test::write_file(input, ControlBroker::request("init", {}, "1") + ControlBroker::request("shutdown", {}, "2"));
    // -quiet keeps the client reading until the gateway closes.
    const std::string client = "openssl s_client -connect 127.0.0.1:" + std::to_string(server->local_port()) + " -quiet";

    const auto anonymous = kavri_test::run_command(client + " < " + input);
    EXPECT_EQ(anonymous.output.find("<init>"), std::string::npos) << anonymous.output;
    EXPECT_TRUE(log.wait_for("refused the control connection from 127.0.0.1:"));
    EXPECT_TRUE(cm.call_log().empty());
    EXPECT_FALSE(server->is_online());

    const auto certified = kavri_test::run_command(client + " -cert " + trusted->leaf_cert + " -key " +
                                                   trusted->leaf_key + " < " + input);
    // "shutdown" may close the connection before the reply to "init" is written.
    EXPECT_TRUE(cm.wait_for_call("shutdown")) << certified.output;
    EXPECT_TRUE(server->is_online());
}

TEST_F(Tls, SetUpOutcomes)
{
    const std::string d = *dir + "/";
    const struct {
        const char* cert;
        const char* key;
        const char* ca;
        const char* phrase;
        std::string outcome;  // "plain", or the start of prepare's error
    } cases[] = {
        {"cert.pem", "", "", "", "plain"},
        {"cert.pem", "key.pem", "", "", "plain"},
        {"", "key.pem", "cert.pem", "", "plain"},
        {"missing.pem", "key.pem", "cert.pem", "", "Control channel certificate (" + d + "missing.pem) not found."},
        {"cert.pem", "missing.pem", "cert.pem", "",
         "One or more certificate files required for securing the control channel were not found at " + d + "."},
        {"cert.pem", "key.pem", "missing.pem", "",
         "One or more certificate files required for securing the control channel were not found at " + d + "."},
        {"enc_cert.pem", "enc_key.pem", "enc_cert.pem", "wrong", "use_rsa_private_key_file"},
        {"key.pem", "key.pem", "cert.pem", "", "use_certificate_file"},
    };
    for (const auto& c : cases) {
        use(c.cert, c.key, c.ca, *dir);
        set("TCPControlLinuxExtCertPhrase", c.phrase);
        auto s = std::make_shared<vexa::XMLTCPControlServer>("sni", "127.0.0.1", "0", cm);
        if (c.outcome == "plain") {
            EXPECT_FALSE(s->use_secure_channel());
            EXPECT_NO_THROW(s->prepare());
            s->start();
            ControlBroker b;
            ASSERT_TRUE(b.connect(s->local_port()));
            EXPECT_EQ(exchange(b, "get-info").id, "0") << c.cert << "," << c.key << "," << c.ca;
        } else {
            EXPECT_TRUE(s->use_secure_channel());
            try {
                s->prepare();
                ADD_FAILURE() << "prepared " << c.cert << "," << c.key << "," << c.ca;
            } catch (const std::exception& e) {
                EXPECT_EQ(std::string(e.what()).rfind(c.outcome, 0), 0u) << e.what();
            }
        }
        s->stop();
    }
    // An empty directory setting means the current directory.
    use("missing.pem", "key.pem", "cert.pem", "");
    auto s = std::make_shared<vexa::XMLTCPControlServer>("sni", "127.0.0.1", "0", cm);
    try {
        s->prepare();
        ADD_FAILURE() << "prepared without files";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Control channel certificate (./missing.pem) not found.");
    }
    s->stop();
    EXPECT_TRUE(log.contains("XMLTCPControlServer: unencrypted connection was requested"));
    EXPECT_TRUE(log.contains("XMLTCPControlServer: ssl connection was requested"));
}

TEST(PassPhrase, ReadAtEachCallAndCut)
{
    vexa::Config::get_instance()->set("TCPControlLinuxExtCertPhrase", "abcdef");
    EXPECT_EQ(vexa::get_xmltcp_linux_ext_passphrase(4, boost::asio::ssl::context::for_reading), "abcd");
    EXPECT_EQ(vexa::get_xmltcp_linux_ext_passphrase(100, boost::asio::ssl::context::for_reading), "abcdef");
    vexa::Config::get_instance()->set("TCPControlLinuxExtCertPhrase", "");
    EXPECT_EQ(vexa::get_xmltcp_linux_ext_passphrase(100, boost::asio::ssl::context::for_reading), "");
}

}  // namespace
