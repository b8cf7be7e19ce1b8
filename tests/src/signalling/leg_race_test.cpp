// Both legs stopped and restarted from other threads while their TLS is in
// the middle of something: a server leg whose links hang in their handshakes
// is restarted and stopped from three threads at once; a client leg is
// stopped while its handshake, a read in the middle of a frame or a write
// into a client that reads nothing is pending. Every connection the legs
// made is closed in the end, no completion runs after stop, and the legs are
// freed (nothing, the registry of server legs included, keeps them).
#include <gtest/gtest.h>

#include <random>

#include "LegTestSupport.h"

using namespace legtest;
using vexa::SSIGClientConnection;
using vexa::SSIGServerConnection;

namespace {

// Accepts TCP connections, reads and drops whatever comes, never answers
// and counts the connections the other side has closed.
class SilentListener {
public:
    SilentListener() : m_acceptor(m_io, {boost::asio::ip::address_v4::loopback(), 0})
    {
        m_acceptor.non_blocking(true);
        m_thread = std::thread([this] { run(); });
    }
    ~SilentListener()
    {
        m_stop = true;
        m_thread.join();
        for (const pollfd& p : m_fds) ::close(p.fd);
    }
    unsigned short port() const { return m_acceptor.local_endpoint().port(); }
    std::size_t accepted() const { return m_accepted; }
    std::size_t closed() const { return m_closed; }

private:
    void run()
    {
        while (!m_stop) {
            boost::asio::ip::tcp::socket s(m_io);
            boost::system::error_code ec;
            m_acceptor.accept(s, ec);
            if (!ec) {
                m_fds.push_back({s.release(), POLLIN, 0});
                ++m_accepted;
            }
            if (m_fds.empty() || ::poll(m_fds.data(), m_fds.size(), 5) <= 0) {
                if (m_fds.empty()) std::this_thread::sleep_for(5ms);
                continue;
            }
            for (auto it = m_fds.begin(); it != m_fds.end();) {
                char buffer[4096];
                if ((it->revents & (POLLIN | POLLHUP | POLLERR)) &&
                    ::recv(it->fd, buffer, sizeof buffer, 0) <= 0) {
                    ::close(it->fd);
                    it = m_fds.erase(it);
                    ++m_closed;
                } else {
                    ++it;
                }
            }
        }
    }

    boost::asio::io_context m_io;
    boost::asio::ip::tcp::acceptor m_acceptor;
    std::vector<pollfd> m_fds;  // listener thread only
    std::atomic<std::size_t> m_accepted{0};
    std::atomic<std::size_t> m_closed{0};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

class LegRaceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        identity();
        host = std::make_shared<FakeHost>();
        host->ctag = make_ctag(identity().server_cert.der());
        host->rtag = make_rtag(host->ctag);
        timings.stop_drain = boost::posix_time::milliseconds(200);
    }
    void TearDown() override
    {
        threads.stop();
        host->clear();
    }

    // Its sink must outlive the legs' threads.
    LegLog log;
    std::shared_ptr<FakeHost> host;
    vexa::SSIGLegTimings timings;
    IoThreads threads;
};

TEST_F(LegRaceTest,
       AServerLegRestartedAndStoppedFromThreeThreadsMidHandshakeLeavesNoConnectionOrReference)
{
    SilentListener server;
    const auto thumb = thumbprint_of(identity().server_cert.der());
    unsigned char th[32];
    std::memcpy(th, thumb.data(), 32);
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        auto leg = std::make_shared<SSIGServerConnection>(
            host, threads.io, "127.0.0.1", std::to_string(server.port()), "server.sni.test",
            "conn-1", "log-1", [](eSESSION_STATE) {}, [](const std::string&) {}, host->ctag,
            host->rtag, th, timings);
        leg->start();
        std::vector<std::thread> racers;
        for (unsigned t = 0; t < 3; ++t)
            racers.emplace_back([&, t] {
                std::mt19937 random(static_cast<unsigned>(round * 3 + t));
                for (int i = 0; i < 12; ++i) {
                    switch (random() % 4) {
                        case 0:
                            leg->stop();
                            break;
                        case 1:
                            leg->restart(true);
                            break;
                        default:
                            leg->restart(false);
                            break;
                    }
                    std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
                }
            });
        for (auto& r : racers) r.join();
        leg->stop();
        std::weak_ptr<SSIGServerConnection> weak = leg;
        leg.reset();
        EXPECT_TRUE(wait_until([&] { return weak.expired(); })) << "something still holds the leg";
        EXPECT_TRUE(wait_until([&] { return server.closed() == server.accepted(); }))
            << server.accepted() - server.closed() << " of " << server.accepted()
            << " connections left open";
    }
    EXPECT_GT(server.accepted(), 20u);
}

// What the client leg is doing when another thread stops it.
enum class Pending {
    HANDSHAKE,
    PARTIAL_CLIENT_HELLO,
    READ_MID_FRAME,
    WRITE_TO_A_CLIENT_THAT_DOES_NOT_READ
};

TEST_F(LegRaceTest,
       AClientLegStoppedFromAnotherThreadWhileAnOperationIsPendingClosesAndRunsNoCompletionAfter)
{
    boost::asio::ip::tcp::acceptor acceptor{threads.io,
                                            {boost::asio::ip::address_v4::loopback(), 0}};
    for (const Pending pending :
         {Pending::HANDSHAKE, Pending::PARTIAL_CLIENT_HELLO, Pending::READ_MID_FRAME,
          Pending::WRITE_TO_A_CLIENT_THAT_DOES_NOT_READ}) {
        for (int round = 0; round < 10; ++round) {
            SCOPED_TRACE("case " + std::to_string(int(pending)) + ", round " +
                         std::to_string(round));
            auto client = std::make_unique<TlsClient>(acceptor.local_endpoint().port());
            auto socket = std::make_shared<boost::asio::ip::tcp::socket>(threads.io);
            acceptor.accept(*socket);
            auto leg = std::make_shared<SSIGClientConnection>(host, socket, threads.io, timings);
            leg->start();
            std::atomic<bool> stopped{false};
            std::atomic<int> late_completions{0};
            const auto completion = [&](const boost::system::error_code&) {
                if (stopped) ++late_completions;
            };
            std::thread writer;
            switch (pending) {
                case Pending::HANDSHAKE:
                    break;
                case Pending::PARTIAL_CLIENT_HELLO:
                    ASSERT_TRUE(client->send_plain("\x16\x03\x01\x00\xc8\x01"));
                    break;
                case Pending::READ_MID_FRAME:
                    ASSERT_TRUE(client->handshake());
                    ASSERT_TRUE(client->send(tlv_frame(100, std::string(30, 'v'))));
                    break;
                case Pending::WRITE_TO_A_CLIENT_THAT_DOES_NOT_READ: {
                    ASSERT_TRUE(client->handshake());
                    vexa::ssig::SSIGMap map;
                    map.command_value = 6;
                    map.add(vexa::ssig::SSIGMap::type_of("data"), std::vector<uint8_t>(4000, 'w'));
                    writer = std::thread([&, map] {
                        // The frames queue up behind the stalled write; the last
                        // ones come while (or after) the leg is stopped.
                        for (int i = 0; i < 5000; ++i)
                            leg->handle_server_ksdp_ssig(map, completion);
                    });
                    break;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20 + round * 3));
            std::thread stopper([&] {
                leg->stop();
                stopped = true;
            });
            stopper.join();
            if (writer.joinable()) writer.join();
            EXPECT_TRUE(client->plain_closed_within(5000)) << "the leg's connection stayed open";
            std::weak_ptr<SSIGClientConnection> weak = leg;
            leg.reset();
            EXPECT_TRUE(wait_until([&] { return weak.expired(); }))
                << "something still holds the leg";
            EXPECT_EQ(late_completions.load(), 0);
            host->clear();
        }
    }
}

}  // namespace
