// Drives whole sessions through a running gateway for the session
// benchmarks: add-connection, the server leg's TLS accept, the client's TLS
// connection, HELLO/VERSION, INVITE/INVITE_OK and a first datagram each way,
// then remove-connection. Each driver has its own broker connection, test
// server and media sockets, so its sessions never meet another driver's;
// SPIs are made from the driver's index and a counter, so they never
// collide.
//
// Threads: one driver per thread; nothing is shared between drivers but
// the server identity (immutable). send_media() and drain_media() may run
// on a second thread once the driver's sessions are set up (they touch only
// the sessions' senders and the kernel sockets).
#pragma once

#include "ControlBroker.h"
#include "HelloBuilder.h"
#include "KsdpMessage.h"
#include "MediaSender.h"
#include "ReceivedHello.h"
#include "ReceivedVersion.h"
#include "ServerReplies.h"
#include "TestSessionTag.h"
#include "TlsTestClient.h"
#include "TlsTestServer.h"
#include "UdpPeer.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace session_bench {

using namespace kavri_test;
using namespace std::chrono_literals;

// The gateway's ports the drivers use.
struct GatewayPorts {
    unsigned short control = 0;
    unsigned short signalling = 0;   // ExternalTCPPort
    unsigned short client_media = 0; // ExternalUDPPort
    unsigned short server_media = 0; // InternalUDPPort
};

struct BenchSession {
    std::string connection_id;
    std::string rtag;
    std::shared_ptr<TlsServerConnection> server;
    std::unique_ptr<TlsTestClient> client;
    std::optional<MediaSender> client_media;
    std::optional<MediaSender> server_media;
    unsigned short media_port = 0;  // the gateway's port from the rewritten INVITE_OK
};

class SessionDriver {
public:
    static constexpr std::chrono::milliseconds WAIT{10000};

    SessionDriver(const GatewayPorts& ports, TestIdentity::ptr server_identity, unsigned index)
        : m_ports(ports), m_identity(std::move(server_identity)), m_index(index), m_server(m_identity)
    {
    }

    // Where the set-up time goes: the sum of each step over this driver's
    // successful sessions.
    static constexpr std::array<const char*, 7> STEP_NAMES{
        "add-connection reply", "client TLS connected", "server leg TLS accepted", "HELLO to VERSION",
        "INVITE to INVITE_OK", "first datagram each way", "remove-connection"};
    std::array<double, 7> step_ms{};
    // Wait for the server leg's TLS before the client connects.
    bool sequential_legs = false;

    bool connect_broker() { return m_broker.connect(m_ports.control) && m_broker.init(WAIT); }

    // The whole set-up, through the first datagram each way; false with the
    // step that failed in error.
    bool open(BenchSession& s, std::string& error)
    {
        const TestSessionTag tag = TestSessionTag::tovik(m_identity->der());
        s.connection_id = "bench-" + std::to_string(m_index) + "-" + std::to_string(m_counter);
        AddConnection a = AddConnection::of(m_server.port(), tag.text(), s.connection_id);
        a.server_sni = "server.bench.kavri.test";
        std::array<double, 7> steps{};
        auto mark = std::chrono::steady_clock::now();
        auto lap = [&](std::size_t i) {
            const auto now = std::chrono::steady_clock::now();
            steps[i] = std::chrono::duration<double, std::milli>(now - mark).count();
            mark = now;
        };
        s.rtag = m_broker.add_connection(a, WAIT);
        if (s.rtag.empty())
            return fail(error, "add-connection refused or unanswered");
        lap(0);
        // A client connects as soon as it has its tag, while the gateway's
        // server leg is still on its way (the test server shakes hands on a
        // thread of its own); sequential_legs waits for the server leg first.
        const auto connect_client = [&] {
            s.client = std::make_unique<TlsTestClient>();
            return s.client->connect(m_ports.signalling, std::string("gw.bench.kavri.test"), WAIT);
        };
        if (!sequential_legs) {
            if (!connect_client())
                return fail(error, "client TLS connection failed");
            lap(1);
        }
        s.server = m_server.accept(WAIT);
        if (!s.server)
            return fail(error, "the server leg did not connect");
        lap(2);
        if (sequential_legs) {
            if (!connect_client())
                return fail(error, "client TLS connection failed");
            lap(1);
        }

        if (!s.client->send(HelloBuilder::for_tag(s.rtag, "client.bench.kavri.test").frame(s.rtag)))
            return fail(error, "HELLO not sent");
        auto frame = s.server->read_frame(WAIT);
        const auto hello = frame ? ReceivedHello::parse(frame->bytes) : std::nullopt;
        if (!hello)
            return fail(error, "no HELLO at the server");
        if (!s.server->send(server_replies::version_for(*hello, tag.text())))
            return fail(error, "VERSION not sent");
        frame = s.client->read_frame(WAIT);
        if (!frame || !ReceivedVersion::parse(frame->bytes))
            return fail(error, "no VERSION at the client");
        lap(3);

        const MediaKeys client_keys = next_keys(), server_keys = next_keys();
        if (!s.client->send(KsdpMessage::invite(tag.text(), client_keys).frame(SsigFrame::INVITE)))
            return fail(error, "INVITE not sent");
        frame = s.server->read_frame(WAIT);
        if (!frame || frame->kind != SsigFrame::Kind::Tlv || frame->tlv_command() != SsigFrame::INVITE)
            return fail(error, "no INVITE at the server");
        const KsdpMessage ok = KsdpMessage::invite_ok(server_keys, "192.0.2.10", m_server_udp.port());
        if (!s.server->send(ok.frame(SsigFrame::INVITE_OK)))
            return fail(error, "INVITE_OK not sent");
        frame = s.client->read_frame(WAIT);
        if (!frame || frame->kind != SsigFrame::Kind::Tlv || frame->tlv_command() != SsigFrame::INVITE_OK)
            return fail(error, "no INVITE_OK at the client");
        s.media_port = KsdpMessage::read_be16(KsdpMessage::from(*frame).value("cprt")).value_or(0);
        lap(4);
        s.client_media.emplace(client_keys);
        s.server_media.emplace(server_keys);
        ++m_counter;

        // Client first: the server direction learns the client's address from it.
        const auto c2s = s.client_media->next();
        if (!m_client_udp.send_to(s.media_port, c2s) || !arrives(m_server_udp, c2s))
            return fail(error, "no client datagram at the server");
        const auto s2c = s.server_media->next();
        if (!m_server_udp.send_to(m_ports.server_media, s2c) || !arrives(m_client_udp, s2c))
            return fail(error, "no server datagram at the client");
        lap(5);
        for (std::size_t i = 0; i < steps.size(); ++i)
            step_ms[i] += steps[i];
        return true;
    }

    // remove-connection and both peers closed.
    bool close(BenchSession& s)
    {
        const auto start = std::chrono::steady_clock::now();
        const bool removed = s.rtag.empty() || m_broker.remove_connection(s.rtag, WAIT);
        step_ms[6] += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        s.client.reset();
        if (s.server)
            s.server->close();
        s.server.reset();
        return removed;
    }

    // One datagram each way, not waited for.
    void send_media(BenchSession& s, std::size_t payload)
    {
        if (!s.client_media || !s.server_media)
            return;
        m_client_udp.send_to(s.media_port, s.client_media->next(payload));
        m_server_udp.send_to(m_ports.server_media, s.server_media->next(payload));
    }

    // Datagrams waiting at the two media sockets, read and counted.
    uint64_t drain_media()
    {
        uint64_t n = 0;
        while (!m_client_udp.receive(0ms).empty())
            ++n;
        while (!m_server_udp.receive(0ms).empty())
            ++n;
        return n;
    }

    // The suite the gateway negotiated with the last client (for the
    // handshake baseline).
    static std::string cipher_of(const BenchSession& s) { return s.client ? s.client->cipher() : ""; }

private:
    static bool fail(std::string& error, const char* what)
    {
        error = what;
        return false;
    }

    static bool arrives(const UdpPeer& peer, const std::vector<unsigned char>& expected)
    {
        const auto deadline = std::chrono::steady_clock::now() + WAIT;
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            if (peer.receive(left) == expected)
                return true;
        }
    }

    MediaKeys next_keys()
    {
        MediaKeys k = MediaKeys::random();
        const uint32_t n = m_spi_counter++;
        k.spi = {static_cast<unsigned char>(0x10 + (m_index & 0x3F)), static_cast<unsigned char>(n >> 16),
                 static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)};
        return k;
    }

    GatewayPorts m_ports;
    TestIdentity::ptr m_identity;
    unsigned m_index;
    uint64_t m_counter = 0;
    uint32_t m_spi_counter = 1;
    ControlBroker m_broker;
    TlsTestServer m_server;
    UdpPeer m_client_udp;
    UdpPeer m_server_udp;
};

}  // namespace session_bench
