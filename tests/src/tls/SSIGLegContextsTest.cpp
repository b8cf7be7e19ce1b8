// The legs' two shared contexts: each side's options, verification and
// certificate as the legs had them on their own contexts, the gateway's
// certificate and key held by reference, and no TLS session resumed through
// either, by ticket or by session id, while tickets and session ids still
// go out as before. A shared context left as OpenSSL makes it would resume:
// the control case shows the check can fail.
#include "SSIGLegContexts.h"

#include "RawTlsPeer.h"
#include "SSIGServerSSL.h"
#include "StreamHarness.h"
#include "TlsTestContexts.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using namespace kavri_test;

// The gateway's identity as the signalling server builds it (self-signed).
vexa::SSIGServerSSL& identity()
{
    static const bool configured = [] {
        tls_contexts();  // defaults and the settled cipher list
        vexa::Config& c = *vexa::Config::get_instance();
        c.set("SSLCertType", "2");
        c.set("SSLCertMinKeyLength", "2048");
        c.set("SSLCertPath", "/nonexistent/kavri/certs/");
        return true;
    }();
    (void)configured;
    static boost::asio::io_context main_io, aux_io;
    static vexa::SSIGServerSSL ssl(main_io, aux_io, "gw.kavri.test");
    return ssl;
}

// Moves every handshake to the gateway's certificate context, as the client
// leg's callback does.
int switch_to_gateway(SSL* ssl, int*, void*)
{
    SSL_set_SSL_CTX(ssl, identity().get_gateway_context().native_handle());
    return SSL_TLSEXT_ERR_OK;
}

int accept_any(int, X509_STORE_CTX*)
{
    return 1;
}

struct Handshake {
    bool ok = false;
    bool reused = false;
    SSL_SESSION* session = nullptr;  // the client's, owned by the caller
};

// One TLS 1.2 handshake between a server on server_ctx and a client that
// offers offered (may be null).
Handshake handshake(SSL_CTX* server_ctx, SSL_CTX* client_ctx, SSL_SESSION* offered)
{
    const auto fds = tcp_pair();
    RawTlsPeer server(fds.first, server_ctx, true);
    RawTlsPeer client(fds.second, client_ctx, false);
    if (offered)
        SSL_set_session(client.ssl(), offered);
    bool server_ok = false;
    std::thread t([&] { server_ok = server.handshake(); });
    Handshake h;
    h.ok = client.handshake();
    t.join();
    h.ok = h.ok && server_ok;
    h.reused = SSL_session_reused(client.ssl()) == 1;
    h.session = SSL_get1_session(client.ssl());
    // An end without close_notify makes OpenSSL drop the session.
    client.close_notify();
    server.close_notify();
    return h;
}

TEST(SSIGLegContexts, EachSideIsConfiguredOnceAsTheLegsConfiguredTheirOwn)
{
    vexa::SSIGLegContexts contexts(identity(), &switch_to_gateway, &accept_any);
    vexa::logger_t lg;
    boost::asio::ssl::context server_reference(boost::asio::ssl::context::sslv23);
    boost::asio::ssl::context client_reference(boost::asio::ssl::context::sslv23);
    vexa::set_server_ssl_context_options("reference", lg, server_reference);
    vexa::set_client_ssl_context_options("reference", lg, client_reference);

    SSL_CTX* client_facing = contexts.client_facing().native_handle();
    EXPECT_EQ(SSL_CTX_get_options(client_facing), SSL_CTX_get_options(server_reference.native_handle()));
    EXPECT_EQ(SSL_CTX_get0_certificate(client_facing), nullptr) << "the gateway's context presents it";

    SSL_CTX* server_facing = contexts.server_facing().native_handle();
    EXPECT_EQ(SSL_CTX_get_options(server_facing), SSL_CTX_get_options(client_reference.native_handle()));
    EXPECT_EQ(SSL_CTX_get_verify_mode(server_facing), SSL_VERIFY_PEER);
    EXPECT_EQ(SSL_CTX_get_verify_depth(server_facing), 1);
    EXPECT_EQ(SSL_CTX_get_verify_callback(server_facing), &accept_any);
    // The identity's own objects, not copies.
    EXPECT_EQ(SSL_CTX_get0_certificate(server_facing), identity().get_default_certificate());
    EXPECT_EQ(SSL_CTX_get0_privatekey(server_facing), identity().get_default_private_key());
}

TEST(SSIGLegContexts, NoClientResumesATlsSessionYetTicketsAndSessionIdsStillGoOut)
{
    vexa::SSIGLegContexts contexts(identity(), &switch_to_gateway, &accept_any);
    // The control: one shared context as OpenSSL leaves it.
    boost::asio::ssl::context plain(boost::asio::ssl::context::sslv23);
    vexa::logger_t lg;
    vexa::set_server_ssl_context_options("plain", lg, plain);
    SSL_CTX_set_tlsext_servername_callback(plain.native_handle(), &switch_to_gateway);

    SSL_CTX* with_tickets = tls_contexts().raw_client;
    SSL_CTX* without_tickets = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_max_proto_version(without_tickets, TLS1_2_VERSION);
    SSL_CTX_set_options(without_tickets, SSL_OP_NO_TICKET);

    const struct {
        const char* name;
        SSL_CTX* server;
        SSL_CTX* client;
        bool resumes;
    } cases[] = {
        {"leg context, ticket", contexts.client_facing().native_handle(), with_tickets, false},
        {"leg context, session id", contexts.client_facing().native_handle(), without_tickets, false},
        {"plain shared context, ticket", plain.native_handle(), with_tickets, true},
        {"plain shared context, session id", plain.native_handle(), without_tickets, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Handshake first = handshake(c.server, c.client, nullptr);
        ASSERT_TRUE(first.ok);
        ASSERT_NE(first.session, nullptr);
        unsigned id_length = 0;
        SSL_SESSION_get_id(first.session, &id_length);
        const bool ticket_expected = c.client == with_tickets;
        EXPECT_EQ(SSL_SESSION_has_ticket(first.session) == 1, ticket_expected);
        if (!ticket_expected) {
            EXPECT_GT(id_length, 0u) << "a session id is sent";
        }
        for (int again = 0; again < 2; ++again) {
            Handshake next = handshake(c.server, c.client, first.session);
            EXPECT_TRUE(next.ok);
            EXPECT_EQ(next.reused, c.resumes);
            SSL_SESSION_free(next.session);
        }
        SSL_SESSION_free(first.session);
    }
    SSL_CTX_free(without_tickets);
}

}  // namespace
