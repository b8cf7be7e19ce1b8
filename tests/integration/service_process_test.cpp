// The service as an operator meets it: it stays up once its servers run, the
// relay serves both UDP ports, the signalling and control servers listen, a
// broker drives it and shuts it down quietly, and a port that cannot be bound
// is a logged, fatal start failure with exit status 1.
#include "ControlBroker.h"
#include "GatewayProcess.h"
#include "LoopbackTlsServer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

namespace {

using kavri_test::GatewayProcess;
using namespace std::chrono_literals;

std::string value_of(const std::vector<std::string>& config, const std::string& key)
{
    for (const auto& l : config)
        if (l.rfind(key + "=", 0) == 0)
            return l.substr(key.size() + 1);
    return "";
}

// A UDP socket bound to 127.0.0.1:port (port 0: any), closed at scope exit.
class UdpSocket {
public:
    explicit UdpSocket(unsigned short port = 0) : fd(::socket(AF_INET, SOCK_DGRAM, 0))
    {
        sockaddr_in a = address(port);
        bound = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~UdpSocket() { ::close(fd); }
    bool is_bound() const { return bound; }
    void send_to(unsigned short port, const std::string& data) const
    {
        sockaddr_in a = address(port);
        ::sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }

private:
    static sockaddr_in address(unsigned short port)
    {
        sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        return a;
    }
    int fd;
    bool bound = false;
};

// A TCP socket listening on 127.0.0.1:port, closed at scope exit.
class TcpListener {
public:
    explicit TcpListener(unsigned short port) : fd(::socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        listening = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(fd, 4) == 0;
    }
    ~TcpListener() { ::close(fd); }
    bool is_listening() const { return listening; }

private:
    int fd;
    bool listening = false;
};

// Whether a TCP connect to 127.0.0.1:port is accepted.
bool accepts_connections(unsigned short port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

unsigned short port_of(const std::vector<std::string>& config, const std::string& key)
{
    return static_cast<unsigned short>(std::stoi(value_of(config, key)));
}

// User plus system CPU time of a process, in clock ticks.
long cpu_ticks(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Fields after the parenthesised command name; utime and stime are 14 and 15.
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::stol(field);
        if (i == 15)
            stime = std::stol(field);
    }
    return utime + stime;
}

TEST(Service, StaysUpWithTheRelayServingBothPorts)
{
    GatewayProcess::Options o;
    o.config = GatewayProcess::loopback_config();
    o.config.push_back("LogLevel=0");
    GatewayProcess gw(o);
    ASSERT_TRUE(gw.wait_for_log("Entering ServiceMain")) << gw.log();
    ASSERT_FALSE(gw.wait_exit(1500ms).has_value()) << gw.log();
    EXPECT_EQ(std::string::npos, gw.log().find("Exiting ServiceMain"));

    // Both relay ports are taken and answer: a datagram of no tunnel is dropped.
    for (const char* key : {"ExternalUDPPort", "InternalUDPPort"}) {
        const auto port = static_cast<unsigned short>(std::stoi(value_of(o.config, key)));
        EXPECT_FALSE(UdpSocket(port).is_bound()) << key;
        UdpSocket peer;
        // First byte's top bit clear: looked up as a plain tunnel's SPI.
        peer.send_to(port, std::string("\x21\xb2\xc3\xd4", 4) + std::string(60, 'x'));
    }
    EXPECT_TRUE(gw.wait_for_log("Blocked UDP packet with unknown SPI 21b2c3d4 from Kavri Client: ", 5s))
        << gw.log();
    EXPECT_TRUE(gw.wait_for_log("Blocked UDP packet with unknown SPI 21b2c3d4 from Kavri Server: ", 5s))
        << gw.log();
    EXPECT_TRUE(gw.running());

    // The signalling and control servers listen as well.
    EXPECT_TRUE(gw.wait_for_log("SSIG server started")) << gw.log();
    EXPECT_TRUE(gw.wait_for_log("XML TCP control server started")) << gw.log();
    EXPECT_TRUE(accepts_connections(port_of(o.config, "ExternalTCPPort")));
    EXPECT_TRUE(accepts_connections(port_of(o.config, "TCPControlPort")));
}

TEST(Service, ABrokerAddsASessionAndShutsTheGatewayDown)
{
    GatewayProcess::Options o;
    o.config = GatewayProcess::loopback_config();
    o.config.push_back("LogLevel=0");
    GatewayProcess gw(o);
    ASSERT_TRUE(gw.wait_for_log("XML TCP control server started")) << gw.log();
    kavri_test::TestIdentity identity;
    kavri_test::LoopbackTlsServer server(identity);

    ControlBroker broker;
    ASSERT_TRUE(broker.connect(port_of(o.config, "TCPControlPort")));
    ASSERT_TRUE(broker.send_command("init"));
    ASSERT_TRUE(broker.read_message().has_value());
    // A ctag that is no version-1 tag is its own rtag.
    ASSERT_TRUE(broker.send_command("add-connection", {{"ip-address", "127.0.0.1"},
                                                       {"tcp-port", server.port_text()},
                                                       {"ctag", "process-test-tag"},
                                                       {"connection-id", "conn-1"}},
                                    "2"));
    const auto reply = broker.read_message();
    ASSERT_TRUE(reply.has_value()) << gw.log();
    EXPECT_NE(std::string::npos, reply->body.find("<result>ok</result>")) << reply->body;
    EXPECT_NE(std::string::npos, reply->body.find("<rtag>process-test-tag</rtag>")) << reply->body;
    // The server leg is up at once and presents the gateway's certificate.
    ASSERT_TRUE(kavri_test::wait_until([&] { return server.handshakes() == 1; })) << gw.log();
    EXPECT_FALSE(server.connections()[0].client_cert_der.empty());

    ASSERT_TRUE(broker.send_command("shutdown", {}, "3"));
    EXPECT_TRUE(kavri_test::wait_until([&] { return server.closed() == 1; })) << gw.log();
    EXPECT_TRUE(kavri_test::wait_until([&] { return !accepts_connections(port_of(o.config, "ExternalTCPPort")); }))
        << gw.log();
    EXPECT_FALSE(accepts_connections(port_of(o.config, "TCPControlPort")));
    EXPECT_TRUE(gw.running());
    // Nothing spins once the listeners are closed, and the log stays quiet:
    // no accept is armed again on the closed control listener.
    const std::size_t log_size = gw.log().size();
    const long before = cpu_ticks(gw.pid());
    std::this_thread::sleep_for(std::chrono::seconds(10));
    EXPECT_LT(cpu_ticks(gw.pid()) - before, 100) << "clock ticks of CPU time in 10 s";
    EXPECT_TRUE(gw.running());
    const std::string after = gw.log().substr(log_size);
    EXPECT_EQ(std::string::npos, after.find("> error   : ")) << after;
    EXPECT_EQ(std::string::npos, gw.log().find("XMLTCPControlServer::Error on accept")) << gw.log();
}

struct BusyPortCase {
    const char* key;
    int type;              // SOCK_STREAM or SOCK_DGRAM
    const char* listener;  // as the error record names it
};

class BusyPort : public ::testing::TestWithParam<BusyPortCase> {};

// Every listener: the record before the fatal one says which address and
// port is taken, the fatal text also goes to standard error, and the
// process exits with status 1 so that a supervisor sees the failure.
TEST_P(BusyPort, IsAFatalStartFailureNamingTheAddressAndPort)
{
    const BusyPortCase& c = GetParam();
    GatewayProcess::Options o;
    o.config = GatewayProcess::loopback_config();
    o.config.push_back("LogLevel=1");
    const unsigned short port = kavri_test::free_port(c.type);
    std::unique_ptr<TcpListener> tcp;
    std::unique_ptr<UdpSocket> udp;
    if (c.type == SOCK_STREAM) {
        tcp = std::make_unique<TcpListener>(port);
        ASSERT_TRUE(tcp->is_listening());
    } else {
        udp = std::make_unique<UdpSocket>(port);
        ASSERT_TRUE(udp->is_bound());
    }
    // A later line of a key wins.
    o.config.push_back(std::string(c.key) + "=" + std::to_string(port));
    GatewayProcess gw(o);
    EXPECT_EQ(1, gw.wait_exit().value_or(-1)) << gw.log();

    const std::string log = gw.log();
    const std::string named = std::string("> error   : ") + c.listener + " 127.0.0.1:" + std::to_string(port) +
                              ": bind: Address already in use\n";
    const std::string fatal = "> fatal   : ";
    const std::size_t named_at = log.find(named);
    const std::size_t fatal_at = log.find(fatal + "Failed to start the Security Gateway: ");
    ASSERT_NE(std::string::npos, named_at) << named << "\n" << log;
    ASSERT_NE(std::string::npos, fatal_at) << log;
    EXPECT_LT(named_at, fatal_at);
    // Standard error holds the fatal text, exactly as logged.
    const std::size_t text_at = fatal_at + fatal.size();
    EXPECT_EQ(log.substr(text_at, log.find('\n', text_at) + 1 - text_at), gw.stderr_text());
    EXPECT_NE(std::string::npos, log.find("> info    : VevareviDiravad exiting...\n", fatal_at));
}

INSTANTIATE_TEST_SUITE_P(
    Service, BusyPort,
    ::testing::Values(BusyPortCase{"TCPControlPort", SOCK_STREAM, "control channel"},
                      BusyPortCase{"ExternalTCPPort", SOCK_STREAM, "signalling listener"},
                      BusyPortCase{"ExternalUDPPort", SOCK_DGRAM, "relay external UDP socket"},
                      BusyPortCase{"InternalUDPPort", SOCK_DGRAM, "relay internal UDP socket"}),
    [](const ::testing::TestParamInfo<BusyPortCase>& i) { return std::string(i.param.key); });

}  // namespace
