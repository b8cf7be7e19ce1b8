// Whole sessions through the real binary on loopback: a scripted broker adds
// the connection, a test server and test clients negotiate through the
// gateway (HELLO, VERSION, INVITE, INVITE_OK), and UDP peers send AES-GCM
// datagrams through the relay. Covered: the happy path with its statistics
// and state notification; certificate mismatches and the REJECTED retries;
// the server's FAIL and VERSION checks; INVITEs the gateway refuses; idle
// legs, pairs and resumable sessions; resumption; removal in every state;
// malformed server frames; and an idle process after shutdown.
#include "SessionProcessTest.h"

#include <gtest/gtest.h>

namespace {

using namespace session_test;

std::optional<uint64_t> json_number(const std::string& text, const std::string& after, const std::string& name)
{
    const std::size_t from = text.find(after);
    if (from == std::string::npos)
        return std::nullopt;
    const std::string key = "\"" + name + "\":";
    const std::size_t at = text.find(key, from);
    if (at == std::string::npos)
        return std::nullopt;
    return std::strtoull(text.c_str() + at + key.size(), nullptr, 10);
}

// --- 1. the road of one session ---------------------------------------------

TEST_F(SessionProcess, HappyPathFromAddConnectionToMediaAndStatistics)
{
    ASSERT_NO_FATAL_FAILURE(start({"FilterSessionOptions=abcd wxy"}));
    Session s;

    // add-connection: the server is connected at once, with the gateway's
    // certificate, and the rtag carries that certificate's thumbprint.
    ASSERT_NO_FATAL_FAILURE(add(s));
    EXPECT_EQ(s.server->sni(), std::optional<std::string>(SERVER_SNI));
    const auto gateway_der = s.server->client_certificate_der();
    ASSERT_FALSE(gateway_der.empty());
    EXPECT_EQ(s.rtag, s.tag.rtag_for(gateway_der));

    // HELLO: rewritten with the server's name and thumbprint, the gateway's
    // hop added, signed with the ctag.
    ASSERT_NO_FATAL_FAILURE(hello(s));
    EXPECT_EQ(s.client->server_certificate_der(), gateway_der);
    EXPECT_TRUE(s.hello->signed_with(s.tag.text()));
    EXPECT_EQ(hex(s.hello->thumbprint()),
              hex(TestSessionTag::thumbprint(s.tag.session_id(), server_identity()->der())));
    EXPECT_EQ(s.hello->server_name(), SERVER_SNI);
    EXPECT_EQ(s.hello->session_id(), s.tag.session_id());
    EXPECT_EQ(s.hello->hops(), (std::vector<HelloHop>{CLIENT_HOP, GATEWAY_HOP}));
    EXPECT_TRUE(s.client->open_and_silent(300ms)) << "the client hears nothing before the server answers";

    // VERSION: checked with the ctag, re-signed with the rtag for the client.
    ASSERT_TRUE(s.server->send(server_replies::version_for(*s.hello, s.tag.text())));
    auto frame = s.client->read_frame(FRAME_WAIT);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->kind, SsigFrame::Kind::Reply);
    const auto version = ReceivedVersion::parse(frame->bytes);
    ASSERT_TRUE(version) << frame->bytes;
    EXPECT_EQ(version->validate(s.rtag), 0);
    EXPECT_TRUE(version->signed_with(s.rtag));
    EXPECT_FALSE(version->signed_with(s.tag.text()));
    EXPECT_EQ(version->hops(), (std::vector<HelloHop>{CLIENT_HOP, GATEWAY_HOP}));
    EXPECT_EQ(version->requested(), "1.0");
    EXPECT_EQ(version->negotiated(), "1.0");

    // INVITE: the prohibited elements, offers of types 0 and 3 with set 3,
    // and the filtered session option go; kcap becomes 01; the rest stays
    // in order.
    const MediaKeys set2 = MediaKeys::random(32), set3 = MediaKeys::random();
    KsdpMessage sent;
    sent.add("kprf", "prf").offer(0).offer(1).offer(3).offer(2).key_set(1, s.client_keys).key_set(2, set2)
        .key_set(3, set3).add("kca1", "ca1").add("kca2", "ca2").add("kcs2", "cs2").add("abcd", "filtered")
        .add("wxyz", "kept").add("kcap", std::string("\0\1", 2)).add("ctag", s.tag.text());
    KsdpMessage expected;
    expected.offer(1).offer(2).key_set(1, s.client_keys).key_set(2, set2).add("wxyz", "kept")
        .add("kcap", std::string(1, '\1')).add("ctag", s.tag.text());
    EXPECT_EQ(invite(s, sent), expected);

    // INVITE_OK: the client is told the gateway's media address and port.
    const KsdpMessage ok = typical_invite_ok(s).add("kclr", std::string(1, '\0'));
    ASSERT_NO_FATAL_FAILURE(invite_ok(s, ok));
    KsdpMessage rewritten = ok;
    rewritten.set("cipa", "127.0.0.1").set("cprt", KsdpMessage::be16(gw->external_udp_port()));
    EXPECT_EQ(s.invite_ok, rewritten);

    // Media. A server datagram before the client's first has nowhere to go.
    s.server_media.emplace(s.server_keys);
    const bytes early = s.server_media->next();
    ASSERT_TRUE(server_udp.send_to(gw->internal_udp_port(), early));
    EXPECT_TRUE(client_udp.receive(BLOCKED_WAIT).empty());
    uint64_t client_bytes = 0, server_bytes = early.size();
    for (int i = 0; i < 5; ++i) {
        client_bytes += client_to_server(s).size();
        server_bytes += server_to_client(s).size();
    }
    // What the server receives is what the client sealed.
    const bytes sixth = client_to_server(s);
    client_bytes += sixth.size();
    bytes plain;
    EXPECT_TRUE(relay_test::evp_open(s.client_keys.key, s.client_keys.salt, sixth, &plain));
    EXPECT_EQ(plain.size(), 64u);

    // Counters and JSON statistics over the control channel.
    const auto counters = broker.command("get-counters");
    ASSERT_TRUE(counters);
    EXPECT_EQ(counters->element("sessions"), std::optional<std::string>("1")) << counters->body;
    EXPECT_EQ(counters->element("sessions_hwm"), std::optional<std::string>("1")) << counters->body;
    const auto stats = broker.command("get-json-session-statistics");
    ASSERT_TRUE(stats);
    const std::string& json = stats->body;
    const std::string entry = "\"" + s.connection_id + "\"";
    EXPECT_EQ(json_number(json, entry + ":{ \"server-stats\"", "packet-count"), 6u) << json;
    EXPECT_EQ(json_number(json, entry + ":{ \"server-stats\"", "packet-bytes"), server_bytes) << json;
    EXPECT_EQ(json_number(json, "\"client-stats\"", "packet-count"), 6u) << json;
    EXPECT_EQ(json_number(json, "\"client-stats\"", "packet-bytes"), client_bytes) << json;

    // One ACTIVE for the session, whichever direction saw traffic first; no
    // connection-closed.
    std::size_t active = 0;
    for (const auto& m : notifications_within(1500ms)) {
        EXPECT_NE(m.command(), "connection-closed") << m.body;
        if (m.command() == "connection-state-changed" &&
            m.element("session-state") == std::optional<std::string>("ACTIVE")) {
            ++active;
            EXPECT_EQ(m.element("connection-id"), std::optional<std::string>(s.connection_id));
            EXPECT_EQ(m.element("session-id"), std::optional<std::string>(s.tag.session_id_text()));
        }
    }
    EXPECT_EQ(active, 1u);
    EXPECT_TRUE(s.server->open_and_silent(200ms));
    EXPECT_TRUE(s.client->open_and_silent(200ms));
    // The first HELLO on a fresh leg needs no reconnect.
    EXPECT_EQ(server.tcp_accepts(), 1u);
}

// --- 2. certificate mismatch and REJECTED -------------------------------------

TEST_F(SessionProcess, RejectedOnceReconnectsAndTheMatchingServerGetsTheHello)
{
    server.set_identities({impostor_identity(), server_identity()});
    ASSERT_NO_FATAL_FAILURE(start());
    Session s;
    ASSERT_NO_FATAL_FAILURE(add(s));
    ASSERT_NO_FATAL_FAILURE(connect_client(s));
    ASSERT_TRUE(s.client->send(HelloBuilder::for_tag(s.rtag, CLIENT_VIEW).hops({CLIENT_HOP}).frame(s.rtag)));

    // The server that presented another certificate gets a REJECT, the
    // client nothing.
    auto frame = s.server->read_frame(FRAME_WAIT);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->kind, SsigFrame::Kind::Post);
    EXPECT_EQ(frame->body, "<KAVRI><REJECT /></KAVRI>");
    EXPECT_TRUE(s.client->open_and_silent(300ms));

    // REJECTED: one reconnect; the new connection presents the right
    // certificate and receives the HELLO.
    ASSERT_TRUE(s.server->send(server_replies::rejected()));
    EXPECT_TRUE(s.server->wait_closed(5s)) << "the rejected connection stayed open";
    s.server = server_leg();
    ASSERT_TRUE(s.server);
    EXPECT_EQ(s.server->accept_index(), 1u);
    frame = s.server->read_frame(FRAME_WAIT);
    ASSERT_TRUE(frame) << "no HELLO after the reconnect";
    s.hello = ReceivedHello::parse(frame->bytes);
    ASSERT_TRUE(s.hello) << frame->bytes;
    EXPECT_EQ(s.hello->validate(s.tag.text()), 0);
    EXPECT_EQ(s.hello->hops(), (std::vector<HelloHop>{CLIENT_HOP, GATEWAY_HOP}));
    EXPECT_TRUE(logged("(KAVRI_REJECTED count = 1)"));

    // The negotiation goes on as usual.
    ASSERT_NO_FATAL_FAILURE(version(s));
    EXPECT_TRUE(server.no_connection_for(500ms));
}

TEST_F(SessionProcess, SeventhRejectedGivesFail1037AndNoFurtherReconnect)
{
    server.set_identities({impostor_identity()});
    ASSERT_NO_FATAL_FAILURE(start());
    Session s;
    ASSERT_NO_FATAL_FAILURE(add(s));
    ASSERT_NO_FATAL_FAILURE(connect_client(s));
    ASSERT_TRUE(s.client->send(HelloBuilder::for_tag(s.rtag, CLIENT_VIEW).hops({CLIENT_HOP}).frame(s.rtag)));

    // Six REJECTED are answered with six reconnects, each meeting the wrong
    // certificate and sending the REJECT again.
    for (std::size_t i = 0; i < 7; ++i) {
        SCOPED_TRACE("connection " + std::to_string(i));
        if (i > 0) {
            s.server = server_leg();
            ASSERT_TRUE(s.server);
            EXPECT_EQ(s.server->accept_index(), i);
        }
        const auto frame = s.server->read_frame(FRAME_WAIT);
        ASSERT_TRUE(frame) << "no REJECT";
        EXPECT_EQ(frame->body, "<KAVRI><REJECT /></KAVRI>");
        ASSERT_TRUE(s.server->send(server_replies::rejected()));
    }

    // The seventh: FAIL 1037 to the client, with the client's hops, and no
    // eighth connection.
    const auto fail = client_fail(s);
    ASSERT_TRUE(fail);
    EXPECT_EQ(fail->code, 1037u);
    EXPECT_EQ(fail->reason, "Security Gateway received too many KAVRI_REJECTED from the MITM devices");
    EXPECT_TRUE(fail->reply_form);
    EXPECT_EQ(fail->hops, (std::vector<HelloHop>{CLIENT_HOP, GATEWAY_HOP}));
    EXPECT_TRUE(server.no_connection_for(2s));
    EXPECT_EQ(server.tcp_accepts(), 7u);
}

TEST_F(SessionProcess, ReconnectThatNeverCompletesClosesTheClientAfterItsWait)
{
    server.set_identities({impostor_identity()});
    ASSERT_NO_FATAL_FAILURE(start());
    Session s;
    ASSERT_NO_FATAL_FAILURE(add(s));
    ASSERT_NO_FATAL_FAILURE(connect_client(s));
    ASSERT_TRUE(s.client->send(HelloBuilder::for_tag(s.rtag, CLIENT_VIEW).hops({CLIENT_HOP}).frame(s.rtag)));
    const auto frame = s.server->read_frame(FRAME_WAIT);
    ASSERT_TRUE(frame);
    ASSERT_EQ(frame->body, "<KAVRI><REJECT /></KAVRI>");

    // The reconnect is accepted but its handshake never completes: the
    // client waits for it as long as for a first connection, then is closed.
    server.set_handshake_delay(-1ms);
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(s.server->send(server_replies::rejected()));
    const auto got = s.client->read_frame(45s);
    EXPECT_FALSE(got) << "the client was told: " << got->bytes;
    EXPECT_TRUE(s.client->stream()->peer_closed()) << "the client leg stayed open";
    const auto waited = std::chrono::steady_clock::now() - sent;
    EXPECT_GE(waited, 29s);
    EXPECT_EQ(server.tcp_accepts(), 2u);
}

// --- 3. the server's FAIL and VERSION -----------------------------------------

struct FailCase {
    const char* name;
    std::optional<uint32_t> code;  // none: a FAIL that does not parse
    bool kept;
};

void PrintTo(const FailCase& c, std::ostream* os)
{
    *os << c.name;
}

class ServerFail : public SessionProcess, public ::testing::WithParamInterface<FailCase> {};

TEST_P(ServerFail, IsRelayedAndEndsTheSessionUnlessItsCodeKeepsIt)
{
    const FailCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(start());
    Session s;
    ASSERT_NO_FATAL_FAILURE(add(s));
    ASSERT_NO_FATAL_FAILURE(hello(s));

    const std::vector<HelloHop> hops{CLIENT_HOP, GATEWAY_HOP};
    ASSERT_TRUE(s.server->send(c.code ? server_replies::fail(*c.code, "server says no", hops)
                                      : SsigFrame::reply("<KAVRI><FAIL code=\"0\" reason=\"x\"></FAIL></KAVRI>")));
    if (c.code) {
        const auto fail = client_fail(s);
        ASSERT_TRUE(fail);
        EXPECT_EQ(fail->code, *c.code);
        EXPECT_EQ(fail->reason, "server says no");
        EXPECT_EQ(fail->hops, hops);
        EXPECT_TRUE(fail->reply_form);
    } else {
        EXPECT_TRUE(s.client->open_and_silent(1s)) << "an unparsable FAIL is not relayed";
    }

    if (c.kept) {
        // The session and both legs stay; a VERSION is still accepted.
        EXPECT_TRUE(s.server->open_and_silent(300ms));
        ASSERT_NO_FATAL_FAILURE(version(s));
    } else {
        EXPECT_TRUE(s.server->wait_closed(5s)) << "the server leg stayed open";
        ASSERT_NO_FATAL_FAILURE(expect_session_gone(s));
    }
}

INSTANTIATE_TEST_SUITE_P(Codes, ServerFail,
                         ::testing::Values(FailCase{"code_1033_kept", 1033, true},
                                           FailCase{"code_1036_kept", 1036, true},
                                           FailCase{"code_1038_kept", 1038, true},
                                           FailCase{"code_1034_removed", 1034, false},
                                           FailCase{"unparsable_removed", std::nullopt, false}),
                         [](const ::testing::TestParamInfo<FailCase>& i) { return std::string(i.param.name); });

struct VersionCase {
    const char* name;
    // The server's VERSION from the HELLO it received and the session's tags.
    std::string (*make)(const ReceivedHello& hello, const std::string& ctag, const std::string& rtag);
    const char* reason;  // nullptr: the VERSION passes
};

void PrintTo(const VersionCase& c, std::ostream* os)
{
    *os << c.name;
}

class ServerVersion : public SessionProcess, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(ServerVersion, FailingCheckGivesFail1035WithItsReasonAndEndsTheSession)
{
    const VersionCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(start());
    Session s;
    ASSERT_NO_FATAL_FAILURE(add(s));
    ASSERT_NO_FATAL_FAILURE(hello(s));
    ASSERT_TRUE(s.server->send(c.make(*s.hello, s.tag.text(), s.rtag)));

    const auto frame = s.client->read_frame(FRAME_WAIT);
    ASSERT_TRUE(frame) << "nothing reached the client";
    if (!c.reason) {
        const auto v = ReceivedVersion::parse(frame->bytes);
        ASSERT_TRUE(v) << frame->bytes;
        EXPECT_EQ(v->validate(s.rtag), 0);
        EXPECT_TRUE(s.server->open_and_silent(300ms));
        return;
    }
    const auto fail = FailReply::parse(*frame);
    ASSERT_TRUE(fail) << frame->bytes;
    EXPECT_EQ(fail->code, 1035u);
    EXPECT_EQ(fail->reason, c.reason);
    EXPECT_TRUE(fail->reply_form);
    EXPECT_EQ(fail->hops, (std::vector<HelloHop>{CLIENT_HOP, GATEWAY_HOP}));
    EXPECT_TRUE(s.server->wait_closed(5s)) << "the server leg stayed open";
    ASSERT_NO_FATAL_FAILURE(expect_session_gone(s));
}

std::string with_hops(const ReceivedHello& h, const std::string& ctag, std::vector<HelloHop> hops)
{
    return server_replies::version(ctag, h.version(), "1.0", hops);
}

const char* const TAMPERED = "SG received invalid KAVRI_VERSION message (detected tampered MITM entries)";
const char* const NOT_VALID = "SG received invalid KAVRI_VERSION message (failed to validate XML)";

INSTANTIATE_TEST_SUITE_P(
    Checks, ServerVersion,
    ::testing::Values(
        VersionCase{"unparsable",
                    [](const ReceivedHello&, const std::string&, const std::string&) {
                        return SsigFrame::reply("<KAVRI><VERSION><NEGOTIATION requested=\"1.0\" version=\"1.0\">"
                                                "</NEGOTIATION></VERSION></KAVRI>");
                    },
                    "SG receive an invalid KAVRI_VERSION (error in parsing VERSION)"},
        VersionCase{"signed_with_the_rtag",
                    [](const ReceivedHello& h, const std::string&, const std::string& rtag) {
                        return server_replies::version_for(h, rtag);
                    },
                    NOT_VALID},
        VersionCase{"negotiated_2_0",
                    [](const ReceivedHello& h, const std::string& ctag, const std::string&) {
                        return server_replies::version_for(h, ctag, "2.0");
                    },
                    NOT_VALID},
        VersionCase{"gateway_hop_missing",
                    [](const ReceivedHello& h, const std::string& ctag, const std::string&) {
                        return with_hops(h, ctag, {CLIENT_HOP});
                    },
                    TAMPERED},
        VersionCase{"gateway_hop_renamed",
                    [](const ReceivedHello& h, const std::string& ctag, const std::string&) {
                        return with_hops(h, ctag, {CLIENT_HOP, {"1.0", "gw.kavri.tesT", 0}});
                    },
                    TAMPERED},
        VersionCase{"gateway_hop_other_version",
                    [](const ReceivedHello& h, const std::string& ctag, const std::string&) {
                        return with_hops(h, ctag, {CLIENT_HOP, {"1.1", GATEWAY_NAME, 0}});
                    },
                    TAMPERED},
        VersionCase{"gateway_hop_other_spi_passes",
                    [](const ReceivedHello& h, const std::string& ctag, const std::string&) {
                        return with_hops(h, ctag, {CLIENT_HOP, {"1.0", GATEWAY_NAME, 4096}});
                    },
                    nullptr}),
    [](const ::testing::TestParamInfo<VersionCase>& i) { return std::string(i.param.name); });

// --- 4. INVITEs the gateway refuses -------------------------------------------

enum class Refusal { NoCtag, NoEncapsulation, KcapWithoutOne, NoHello, OtherSessionsCtag, AfterReject, SecondInvite };

struct RefusalCase {
    const char* name;
    Refusal kind;
};

void PrintTo(const RefusalCase& c, std::ostream* os)
{
    *os << c.name;
}

class RefusedInvite : public SessionProcess, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusedInvite, ClosesTheClientAndKeepsTheServer)
{
    const Refusal kind = GetParam().kind;
    if (kind == Refusal::AfterReject)
        server.set_identities({impostor_identity()});
    ASSERT_NO_FATAL_FAILURE(start());
    Session s;
    ASSERT_NO_FATAL_FAILURE(add(s));

    KsdpMessage sent = KsdpMessage::invite(s.tag.text(), s.client_keys);
    Session other;
    other.connection_id = "conn-2";
    switch (kind) {
    case Refusal::NoCtag:
        sent.without("ctag");
        break;
    case Refusal::NoEncapsulation:
        sent.without("kcap");
        break;
    case Refusal::KcapWithoutOne:
        sent.set("kcap", std::string("\0\2", 2));
        break;
    case Refusal::NoHello:
        break;
    case Refusal::OtherSessionsCtag:
        ASSERT_NO_FATAL_FAILURE(add(other));
        sent.set("ctag", other.tag.text());
        break;
    case Refusal::AfterReject:
        break;
    case Refusal::SecondInvite:
        break;
    }

    if (kind == Refusal::NoHello) {
        ASSERT_NO_FATAL_FAILURE(connect_client(s));
    } else if (kind == Refusal::AfterReject) {
        ASSERT_NO_FATAL_FAILURE(connect_client(s));
        ASSERT_TRUE(s.client->send(HelloBuilder::for_tag(s.rtag, CLIENT_VIEW).frame(s.rtag)));
        const auto reject = s.server->read_frame(FRAME_WAIT);
        ASSERT_TRUE(reject);
        ASSERT_EQ(reject->body, "<KAVRI><REJECT /></KAVRI>");
    } else {
        ASSERT_NO_FATAL_FAILURE(negotiate(s));
    }
    if (kind == Refusal::SecondInvite) {
        EXPECT_EQ(invite(s, sent).value("ctag"), s.tag.text());
    }

    ASSERT_TRUE(s.client->send(sent.frame(SsigFrame::INVITE)));
    EXPECT_TRUE(s.client->wait_closed(5s)) << "the client leg stayed open";
    EXPECT_TRUE(s.server->open_and_silent(500ms)) << "the server leg closed or received the INVITE";
    if (other.server) {
        EXPECT_TRUE(other.server->open_and_silent(300ms));
    }

    // The server leg still waits for its client: a proper one pairs with it.
    if (kind != Refusal::AfterReject && kind != Refusal::SecondInvite) {
        ASSERT_NO_FATAL_FAILURE(negotiate(s));
        EXPECT_EQ(invite(s, KsdpMessage::invite(s.tag.text(), s.client_keys)).value("ctag"), s.tag.text());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedInvite,
    ::testing::Values(RefusalCase{"no_ctag", Refusal::NoCtag}, RefusalCase{"no_kcap", Refusal::NoEncapsulation},
                      RefusalCase{"kcap_without_udp_encapsulation", Refusal::KcapWithoutOne},
                      RefusalCase{"no_validated_hello", Refusal::NoHello},
                      RefusalCase{"another_sessions_ctag", Refusal::OtherSessionsCtag},
                      RefusalCase{"after_a_reject", Refusal::AfterReject},
                      RefusalCase{"second_invite", Refusal::SecondInvite}),
    [](const ::testing::TestParamInfo<RefusalCase>& i) { return std::string(i.param.name); });

// --- 5. idle legs, pairs and resumable sessions ---------------------------------

TEST_F(SessionProcess, IdleNegotiatedSessionWithoutInviteTimesOutExactlyOnce)
{
    ASSERT_NO_FATAL_FAILURE(start({"SsigMaxNoActivitySeconds=5"}));
    Session s;
    ASSERT_NO_FATAL_FAILURE(add(s));
    ASSERT_NO_FATAL_FAILURE(negotiate(s));

    // The tagged leg and the pending client idle out together; only the
    // tagged one is reported.
    EXPECT_EQ(closed_reasons(1, IDLE_CLOSE_WAIT, NO_NOTIFICATION_WAIT),
              std::vector<std::string>{"ConnectionTimeout"});
    EXPECT_TRUE(s.server->wait_closed(1s));
    EXPECT_TRUE(s.client->wait_closed(5s));
    ASSERT_NO_FATAL_FAILURE(expect_session_gone(s));
}

TEST_F(SessionProcess, IdlePairClosesBothLegsWhileMediaFlowsOn)
{
    ASSERT_NO_FATAL_FAILURE(start({"SsigMaxNoActivitySeconds=5", "UdpMaxNoActivitySeconds=120"}));
    Session s;
    ASSERT_NO_FATAL_FAILURE(add(s));
    ASSERT_NO_FATAL_FAILURE(establish(s));
    media_both_ways(s);

    EXPECT_TRUE(s.server->wait_closed(IDLE_CLOSE_WAIT)) << "the server leg stayed open";
    EXPECT_TRUE(s.client->wait_closed(5s)) << "the client leg stayed open";
    // Not resumable: nothing is reported, and the tunnels live on.
    for (int i = 0; i < 3; ++i)
        media_both_ways(s);
    EXPECT_TRUE(broker.connection_closed_within(2s).empty());
    ASSERT_NO_FATAL_FAILURE(expect_session_gone(s));
}

TEST_F(SessionProcess, ResumableSessionThatNobodyResumesEndsWithResumeTimeout)
{
    ASSERT_NO_FATAL_FAILURE(start({"SsigMaxNoActivitySeconds=5", "UdpMaxNoActivitySeconds=5"}));
    Session s;
    ASSERT_NO_FATAL_FAILURE(add(s));
    ASSERT_NO_FATAL_FAILURE(establish(s, 5));
    media_both_ways(s);

    // The legs idle out and the session waits as resumable; then the idle
    // tunnels park, their resume period passes and each direction reports
    // its end, and the sweep finds the session without tunnels.
    EXPECT_TRUE(s.server->wait_closed(IDLE_CLOSE_WAIT)) << "the server leg stayed open";
    EXPECT_TRUE(logged(": Moving inactive SSIG server connection to resumable map - " + s.tag.session_id_text()));
    EXPECT_EQ(closed_reasons(3, 35s, 8s),
              (std::vector<std::string>{"ConnectionTimeout", "ConnectionTimeout", "ResumeTimeout"}));
    EXPECT_TRUE(logged(": Removing SSIG connection from the resumable map because the corresponding UDP tunnel "
                       "was ended - " + s.tag.session_id_text()));
    ASSERT_NO_FATAL_FAILURE(expect_session_gone(s));
}

TEST_F(SessionProcess, IdlePairWithoutResumeEndsWithTwoConnectionTimeoutsAndOneUnknown)
{
    ASSERT_NO_FATAL_FAILURE(start({"SsigMaxNoActivitySeconds=5", "UdpMaxNoActivitySeconds=5"}));
    Session s;
    ASSERT_NO_FATAL_FAILURE(add(s));
    ASSERT_NO_FATAL_FAILURE(establish(s));
    media_both_ways(s);

    // Each tunnel direction reports its idle end; the server leg, released
    // with the last tunnel that held it, still has the broker's callback.
    EXPECT_EQ(closed_reasons(3, 40s, 8s),
              (std::vector<std::string>{"ConnectionTimeout", "ConnectionTimeout", "Unknown"}));
    ASSERT_NO_FATAL_FAILURE(expect_session_gone(s));
}

// --- 6. resumption ------------------------------------------------------------

TEST_F(SessionProcess, IdledResumableSessionResumesOnANewConnectionWithNewKeys)
{
    ASSERT_NO_FATAL_FAILURE(start({"SsigMaxNoActivitySeconds=5", "UdpMaxNoActivitySeconds=120"}));
    Session s;
    ASSERT_NO_FATAL_FAILURE(add(s));
    ASSERT_NO_FATAL_FAILURE(establish(s, 120));
    media_both_ways(s);
    EXPECT_TRUE(s.server->wait_closed(IDLE_CLOSE_WAIT)) << "the server leg stayed open";
    EXPECT_TRUE(s.client->wait_closed(5s)) << "the client leg stayed open";
    ASSERT_TRUE(logged(": Moving inactive SSIG server connection to resumable map - " + s.tag.session_id_text()));

    // The client returns: the gateway connects to the server again and the
    // negotiation runs with new SPIs; the tunnels are rekeyed in place.
    const MediaKeys old_client = s.client_keys, old_server = s.server_keys;
    s.rekey();
    ASSERT_NO_FATAL_FAILURE(hello(s, true));
    EXPECT_EQ(s.server->accept_index(), 1u);
    ASSERT_NO_FATAL_FAILURE(version(s));
    invite(s, KsdpMessage::invite(s.tag.text(), s.client_keys));
    ASSERT_NO_FATAL_FAILURE(invite_ok(s, typical_invite_ok(s, 120)));
    media_both_ways(s);
    expect_blocked(old_client, old_server);
    media_both_ways(s);
    EXPECT_TRUE(broker.connection_closed_within(1s).empty());
}

TEST_F(SessionProcess, ClientReturningWhileEstablishedResumesTwentyTimesInARow)
{
    ASSERT_NO_FATAL_FAILURE(start());
    Session s;
    ASSERT_NO_FATAL_FAILURE(add(s));
    ASSERT_NO_FATAL_FAILURE(establish(s, 60));
    media_both_ways(s);

    for (int i = 1; i <= 20; ++i) {
        SCOPED_TRACE("resumption " + std::to_string(i));
        auto old_client = std::move(s.client);
        const auto old_server = s.server;
        const MediaKeys old_client_keys = s.client_keys, old_server_keys = s.server_keys;
        s.rekey();

        // The returning client's HELLO takes the pair apart: both old legs
        // close and the server sees a new connection.
        ASSERT_NO_FATAL_FAILURE(hello(s, true));
        EXPECT_EQ(s.server->accept_index(), static_cast<std::size_t>(i));
        EXPECT_TRUE(old_client->wait_closed(5s)) << "the old client leg stayed open";
        EXPECT_TRUE(old_server->wait_closed(5s)) << "the old server connection stayed open";

        ASSERT_NO_FATAL_FAILURE(version(s));
        const KsdpMessage got = invite(s, KsdpMessage::invite(s.tag.text(), s.client_keys));
        ASSERT_EQ(got.value("1spi"), s.client_keys.spi_value());
        ASSERT_NO_FATAL_FAILURE(invite_ok(s, typical_invite_ok(s, 60)));
        media_both_ways(s);
        ASSERT_FALSE(HasFailure());
        if (i % 5 == 0)
            expect_blocked(old_client_keys, old_server_keys);
    }
    EXPECT_TRUE(broker.connection_closed_within(1s).empty());
    const auto counters = broker.command("get-counters");
    ASSERT_TRUE(counters);
    EXPECT_EQ(counters->element("sessions"), std::optional<std::string>("1")) << counters->body;
}

// --- 7. remove-connection in each state --------------------------------------

enum class State { Negotiated, InviteForwarded, Established, Resumable };

struct RemoveCase {
    const char* name;
    State state;
};

void PrintTo(const RemoveCase& c, std::ostream* os)
{
    *os << c.name;
}

class RemoveConnection : public SessionProcess, public ::testing::WithParamInterface<RemoveCase> {};

TEST_P(RemoveConnection, IsSilentAndLeavesNoTunnel)
{
    const State state = GetParam().state;
    ASSERT_NO_FATAL_FAILURE(start({"SsigMaxNoActivitySeconds=" + std::string(state == State::Resumable ? "5" : "180"),
                                   "UdpMaxNoActivitySeconds=120"}));
    Session s;
    ASSERT_NO_FATAL_FAILURE(add(s));
    ASSERT_NO_FATAL_FAILURE(negotiate(s));
    if (state != State::Negotiated)
        invite(s, KsdpMessage::invite(s.tag.text(), s.client_keys));
    const bool tunnels = state == State::Established || state == State::Resumable;
    if (tunnels) {
        ASSERT_NO_FATAL_FAILURE(invite_ok(s, typical_invite_ok(s, 120)));
        media_both_ways(s);
    }
    if (state == State::Resumable) {
        ASSERT_TRUE(s.server->wait_closed(IDLE_CLOSE_WAIT)) << "the server leg stayed open";
        ASSERT_TRUE(logged(": Moving inactive SSIG server connection to resumable map - " + s.tag.session_id_text()));
    }

    ASSERT_TRUE(broker.remove_connection(s.rtag));
    EXPECT_TRUE(s.server->wait_closed(5s)) << "the server leg stayed open";
    if (state != State::Negotiated) {
        EXPECT_TRUE(s.client->wait_closed(5s)) << "the client leg stayed open";
    }
    if (tunnels)
        expect_blocked(s.client_keys, s.server_keys);
    EXPECT_TRUE(broker.connection_closed_within(NO_NOTIFICATION_WAIT).empty());
    ASSERT_TRUE(broker.command("get-info")) << "the control connection is still there";
    if (tunnels)
        expect_blocked(s.client_keys, s.server_keys);
    ASSERT_NO_FATAL_FAILURE(expect_session_gone(s));
}

INSTANTIATE_TEST_SUITE_P(States, RemoveConnection,
                         ::testing::Values(RemoveCase{"tagged_with_negotiating_client", State::Negotiated},
                                           RemoveCase{"established_before_invite_ok", State::InviteForwarded},
                                           RemoveCase{"established_with_tunnels", State::Established},
                                           RemoveCase{"resumable", State::Resumable}),
                         [](const ::testing::TestParamInfo<RemoveCase>& i) { return std::string(i.param.name); });

// --- 8. malformed server frames, shutdown ---------------------------------------

struct BadFrameCase {
    const char* name;
    std::string frame;
    bool paired;  // sent once the session is established, else before any client
};

void PrintTo(const BadFrameCase& c, std::ostream* os)
{
    *os << c.name;
}

class BadServerFrame : public SessionProcess, public ::testing::WithParamInterface<BadFrameCase> {};

TEST_P(BadServerFrame, RemovesTheSession)
{
    const BadFrameCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(start());
    Session s;
    ASSERT_NO_FATAL_FAILURE(add(s));
    if (c.paired) {
        ASSERT_NO_FATAL_FAILURE(negotiate(s));
        invite(s, KsdpMessage::invite(s.tag.text(), s.client_keys));
    }
    ASSERT_TRUE(s.server->send(c.frame));
    EXPECT_TRUE(s.server->wait_closed(5s)) << "the server leg stayed open";
    if (c.paired) {
        EXPECT_TRUE(s.client->wait_closed(5s)) << "the client leg stayed open";
    }
    ASSERT_NO_FATAL_FAILURE(expect_session_gone(s));
}

INSTANTIATE_TEST_SUITE_P(
    Frames, BadServerFrame,
    ::testing::Values(BadFrameCase{"tlv_length_0", SsigFrame::tlv_of_length(0), false},
                      BadFrameCase{"tlv_length_4097", SsigFrame::tlv_of_length(4097), false},
                      BadFrameCase{"tlv_length_4097_paired", SsigFrame::tlv_of_length(4097), true},
                      BadFrameCase{"content_length_0", SsigFrame::reply("<KAVRI><REJECTED /></KAVRI>", 0), false},
                      BadFrameCase{"content_length_4001", SsigFrame::reply(std::string(4001, 'x')), false},
                      BadFrameCase{"content_length_99999", SsigFrame::reply("<KAVRI/>", 99999), true}),
    [](const ::testing::TestParamInfo<BadFrameCase>& i) { return std::string(i.param.name); });

TEST_F(SessionProcess, ShutdownClosesTheLegsLeavesTheTunnelsAndTheProcessIdle)
{
    ASSERT_NO_FATAL_FAILURE(start());
    Session s;
    ASSERT_NO_FATAL_FAILURE(add(s));
    ASSERT_NO_FATAL_FAILURE(establish(s));
    media_both_ways(s);

    ASSERT_TRUE(broker.shutdown());
    EXPECT_TRUE(s.server->wait_closed(5s)) << "server leg";
    EXPECT_TRUE(s.client->wait_closed(5s)) << "client leg";
    EXPECT_TRUE(broker.wait_closed(5s)) << "control connection";
    // Tunnels go on relaying until they are idle.
    media_both_ways(s);

    // Idle: CPU time grows by less than 1 % of the wall time.
    std::this_thread::sleep_for(1s);
    ASSERT_TRUE(gw->running());
    const auto cpu0 = gw->cpu_time();
    const auto wall0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(6s);
    const auto cpu = gw->cpu_time() - cpu0;
    const auto wall = std::chrono::duration_cast<ms>(std::chrono::steady_clock::now() - wall0);
    EXPECT_LT(cpu.count() * 100, wall.count()) << cpu.count() << " ms of CPU in " << wall.count() << " ms";
    EXPECT_TRUE(gw->running());
}

}  // namespace
