// Both legs joined by their forwarders, frames crossing in both directions
// while the server leg restarts and both legs stop: meant for the TSan
// build (no race, no deadlock), with what arrives checked for integrity.
#include "LegTestSupport.h"

#include "golden_values.h"

#include <gtest/gtest.h>

using namespace legtest;

namespace {

TEST(CrossLegTest, FramesCrossBothLegsWhileTheServerLegRestarts)
{
    identity();
    LegLog log;
    auto host = std::make_shared<FakeHost>();
    const std::string ctag = make_ctag(identity().server_cert.der());
    unsigned char th[32];
    std::memcpy(th, thumbprint_of(identity().server_cert.der()).data(), 32);

    // The server echoes every TLV frame, connection after connection.
    std::atomic<int> echoed{0};
    TlsServer server(identity().server_cert, [&](TlsServer::Peer& p) {
        for (;;) {
            std::string head, value;
            if (!p.read_exact(head, 8, 3000))
                return;
            const uint32_t length = (uint32_t(uint8_t(head[4])) << 24) | (uint32_t(uint8_t(head[5])) << 16) |
                                    (uint32_t(uint8_t(head[6])) << 8) | uint32_t(uint8_t(head[7]));
            if (!p.read_exact(value, length, 3000) || !p.send(head + value))
                return;
            ++echoed;
        }
    });

    std::shared_ptr<vexa::SSIGServerConnection> server_leg;
    std::shared_ptr<vexa::SSIGClientConnection> client_leg;
    {
        IoThreads threads(4);
        server_leg = std::make_shared<vexa::SSIGServerConnection>(
            host, threads.io, "127.0.0.1", std::to_string(server.port()), "server.sni.test", "conn", "log",
            [](eSESSION_STATE) {}, [](const std::string&) {}, ctag, make_rtag(ctag), th);
        server_leg->start();
        ASSERT_TRUE(wait_until([&] { return server_leg->is_connected(); }));

        boost::asio::ip::tcp::acceptor acceptor(threads.io, {boost::asio::ip::address_v4::loopback(), 0});
        TlsClient client(acceptor.local_endpoint().port());
        auto socket = std::make_shared<boost::asio::ip::tcp::socket>(threads.io);
        acceptor.accept(*socket);
        client_leg = std::make_shared<vexa::SSIGClientConnection>(host, socket, threads.io);
        client_leg->start();
        ASSERT_TRUE(client.handshake());

        // The wiring the pairing makes: each leg's forwarder writes on the other.
        std::weak_ptr<vexa::SSIGServerConnection> ws = server_leg;
        std::weak_ptr<vexa::SSIGClientConnection> wc = client_leg;
        client_leg->set_ssig_ksdp_forwarder([ws](const vexa::ssig::SSIGMap& map, vexa::ssig_complete_handler_t c) {
            if (auto s = ws.lock())
                s->handle_client_ksdp_ssig(map, std::move(c));
        });
        server_leg->set_ssig_ksdp_forwarder([wc](const vexa::ssig::SSIGMap& map, vexa::ssig_complete_handler_t c) {
            if (auto cl = wc.lock())
                cl->handle_server_ksdp_ssig(map, std::move(c));
        });

        std::atomic<bool> done{false};
        std::thread restarter([&] {
            for (int i = 0; i < 5 && !done; ++i) {
                std::this_thread::sleep_for(60ms);
                server_leg->restart(false);
            }
        });
        // The gateway's own writes to the client, concurrent with the forwards.
        std::thread writer([&] {
            for (int i = 0; i < 20 && !done; ++i) {
                client_leg->handle_server_xml_ssig(golden::kFailReplyFull, VEXA_XML_TYPE_FAIL, {});
                std::this_thread::sleep_for(10ms);
            }
        });

        int received_tlv = 0, received_http = 0;
        const auto deadline = Clock::now() + 1500ms;
        int sent = 0;
        while (Clock::now() < deadline) {
            if (sent < 200 && client.send(tlv_frame(24, tlv_value(9, "ping"))))
                ++sent;
            while (client.peek_is_tlv()) {
                const std::string f = client.read_tlv_frame(20);
                if (f.empty())
                    break;
                EXPECT_EQ(f, tlv_frame(24, tlv_value(9, "ping")));
                ++received_tlv;
            }
            if (!client.peek_is_tlv()) {
                const std::string h = client.read_http_frame(20);
                if (!h.empty()) {
                    EXPECT_TRUE(parse_fail(h).ok) << h;
                    ++received_http;
                }
            }
        }
        done = true;
        restarter.join();
        writer.join();
        EXPECT_GT(received_tlv, 0);
        EXPECT_GT(received_http, 0);

        server_leg->stop();
        client_leg->stop();
        EXPECT_TRUE(client.wait_closed());
        threads.stop();
        server_leg.reset();
        client_leg.reset();
    }
    host->clear();
}

}  // namespace
