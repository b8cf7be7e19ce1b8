// The service as an operator meets it: it stays up once its servers run, the
// relay serves both UDP ports, and a port that cannot be bound is a logged,
// fatal start failure that still exits 0.
#include "GatewayProcess.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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
}

TEST(Service, RelayPortInUseIsAFatalStartFailure)
{
    for (const char* key : {"ExternalUDPPort", "InternalUDPPort"}) {
        SCOPED_TRACE(key);
        GatewayProcess::Options o;
        o.config = GatewayProcess::loopback_config();
        o.config.push_back("LogLevel=1");
        const unsigned short port = kavri_test::free_port(SOCK_DGRAM);
        UdpSocket occupied(port);
        ASSERT_TRUE(occupied.is_bound());
        // A later line of a key wins.
        o.config.push_back(std::string(key) + "=" + std::to_string(port));
        GatewayProcess gw(o);
        EXPECT_EQ(0, gw.wait_exit().value_or(-1)) << gw.log();
        EXPECT_NE(std::string::npos, gw.log().find("> fatal   : Failed to start the Security Gateway: "))
            << gw.log();
        EXPECT_NE(std::string::npos, gw.log().find("> info    : VevareviDiravad exiting...\n"));
    }
}

}  // namespace
