// Strangers at the client-facing port, through the real binary: anyone can
// open a TLS connection and name a session id it has seen. A HELLO that does
// not verify against the session's own tags must leave the session alone
// (no leg closed, no reconnection to the server, no turn taken, no VERSION
// checked against the stranger's hops); silent connections must neither
// evict negotiating clients nor hold descriptors past their deadlines.
#include "SessionProcessTest.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>

namespace {

using namespace session_test;

const char* const INVALID_HELLO = "Security Gateway received invalid KAVRI_HELLO (HELLO validation failed)";

// A HELLO for the session of rtag, as someone who does not hold the rtag
// can write it: right session id and thumbprint, signed with another key.
std::string forged_hello(const std::string& rtag, const std::string& key,
                         const std::vector<HelloHop>& hops = {CLIENT_HOP})
{
    return HelloBuilder::for_tag(rtag, CLIENT_VIEW).hops(hops).frame(key);
}

// Polls pred until it holds or timeout passes.
bool eventually(const std::function<bool()>& pred, ms timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return pred();
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

// Strangers who know a session's id (its rtag went past them) but hold
// neither its rtag nor its ctag keep connecting and sending what they can
// make: forged HELLOs, a HELLO signed for another session they hold,
// INVITEs naming the session's ctag, REJECTs, FAIL-shaped stanzas, half
// frames and nothing at all. Each answer is checked as it comes.
class StrangerCrowd {
public:
    struct Target {
        std::string rtag;         // the victim's, as seen on the wire
        std::string ctag;         // the victim's; only its session id is used, in INVITEs
        std::string other_rtag;   // a session the strangers do hold
        // The broker removes and re-adds the session meanwhile: a HELLO
        // may also find it gone.
        bool comes_and_goes = false;
    };

    StrangerCrowd(unsigned short port, Target target, int threads = 4) : port(port), target(std::move(target))
    {
        for (int t = 0; t < threads; ++t)
            workers.emplace_back([this, t] { run(t); });
    }
    ~StrangerCrowd() { stop(); }

    void stop()
    {
        stopping = true;
        for (auto& w : workers)
            if (w.joinable())
                w.join();
    }
    // Attempts made, and answers that were not what a stranger must get.
    std::size_t attempts() const { return made.load(); }
    std::vector<std::string> wrong_answers()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return wrong;
    }

private:
    void note(const std::string& what)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (wrong.size() < 20)
            wrong.push_back(what);
    }
    // The next frame must be a FAIL with code.
    void expect_fail(TlsTestClient& c, uint32_t code, const char* attack)
    {
        const auto frame = c.read_frame(FRAME_WAIT);
        const auto fail = frame ? FailReply::parse(*frame) : std::nullopt;
        if (!fail || (fail->code != code && !(target.comes_and_goes && fail->code == 1043)))
            note(std::string(attack) + ": " + (frame ? frame->bytes : "no answer"));
    }
    void run(int index)
    {
        // Bounded whatever the test does.
        const auto until = std::chrono::steady_clock::now() + 60s;
        const std::string invite = KsdpMessage::invite(target.ctag, MediaKeys::random()).frame(SsigFrame::INVITE);
        for (int i = index; !stopping && std::chrono::steady_clock::now() < until; ++i) {
            TlsTestClient c;
            if (i % 8 == 6) {
                // Connect and say nothing.
                c.connect_tcp(port);
                ++made;
                continue;
            }
            if (!c.connect(port, std::string(GATEWAY_NAME)))
                continue;
            ++made;
            switch (i % 8) {
            case 0:
                c.send(forged_hello(target.rtag, target.ctag));
                expect_fail(c, 1034, "forged HELLO");
                break;
            case 1:
                // Signed with the rtag of the stranger's own session.
                c.send(forged_hello(target.rtag, target.other_rtag));
                expect_fail(c, 1034, "HELLO signed for another session");
                break;
            case 2:
                // An INVITE before any HELLO: refused, closed.
                c.send(invite);
                if (!c.wait_closed(FRAME_WAIT))
                    note("INVITE before a HELLO: left open");
                break;
            case 3:
                c.send(SsigFrame::post("<KAVRI><REJECT /></KAVRI>"));
                expect_fail(c, 1033, "REJECT");
                break;
            case 4:
                // Dropped unanswered.
                c.send(SsigFrame::post("<KAVRI><FAIL><CODE>1034</CODE></FAIL></KAVRI>"));
                break;
            case 5:
                // The INVITE after the refused HELLO is never read.
                c.send(forged_hello(target.rtag, target.ctag));
                c.send(invite);
                expect_fail(c, 1034, "forged HELLO, then INVITE");
                break;
            case 7: {
                // Half a HELLO, then gone.
                const std::string hello = forged_hello(target.rtag, target.ctag);
                c.send(hello.substr(0, hello.size() / 2));
                break;
            }
            }
        }
    }

    const unsigned short port;
    const Target target;
    std::atomic<bool> stopping{false};
    std::atomic<std::size_t> made{0};
    std::mutex mutex;
    std::vector<std::string> wrong;
    std::vector<std::thread> workers;
};

class StrangerProcess : public SessionProcess {
protected:
    // A stranger's TLS client sends a forged HELLO for s and is refused at
    // once with FAIL 1034 and the hops of its own HELLO.
    std::unique_ptr<TlsTestClient> forge(const Session& s, const std::vector<HelloHop>& hops = {CLIENT_HOP})
    {
        auto c = std::make_unique<TlsTestClient>();
        EXPECT_TRUE(c->connect(gw->external_tcp_port(), std::string(GATEWAY_NAME)));
        EXPECT_TRUE(c->send(forged_hello(s.rtag, s.tag.text(), hops)));
        const auto frame = c->read_frame(FRAME_WAIT);
        EXPECT_TRUE(frame) << "the forged HELLO was not answered";
        if (frame) {
            const auto fail = FailReply::parse(*frame);
            EXPECT_TRUE(fail) << frame->bytes;
            if (fail) {
                EXPECT_EQ(fail->code, 1034u);
                EXPECT_EQ(fail->reason, INVALID_HELLO);
                EXPECT_EQ(fail->hops, hops);
            }
        }
        return c;
    }

    // Sums the periodic record of deadline closes over the whole log.
    struct DeadlineCloses {
        std::size_t all = 0, without_tls = 0, without_frame = 0, after_fail = 0;
    };
    DeadlineCloses deadline_closes()
    {
        // Scanned by hand: GCC 12 at -O2 with the sanitizers warns inside <regex>.
        static const std::string marker = " client connections closed: ";
        DeadlineCloses d;
        const std::string log = gw->log();
        for (std::size_t at = log.find(marker); at != std::string::npos; at = log.find(marker, at + 1)) {
            std::size_t start = at;
            while (start > 0 && std::isdigit(static_cast<unsigned char>(log[start - 1])))
                --start;
            unsigned long all = 0, tls = 0, frame = 0, fail = 0;
            if (start == at ||
                std::sscanf(log.c_str() + start,
                            "%lu client connections closed: %lu without TLS, %lu without a first frame, %lu after a FAIL",
                            &all, &tls, &frame, &fail) != 4)
                continue;
            d.all += all;
            d.without_tls += tls;
            d.without_frame += frame;
            d.after_fail += fail;
        }
        return d;
    }

    std::size_t log_count(const std::string& text)
    {
        const std::string log = gw->log();
        std::size_t n = 0;
        for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            ++n;
        return n;
    }
};

struct EstablishedCase {
    const char* name;
    std::optional<uint32_t> resume;  // the server's resume grant: a resumable session
};

class ForgedHello : public StrangerProcess, public ::testing::WithParamInterface<EstablishedCase> {};

TEST_P(ForgedHello, LeavesAnEstablishedSessionAlone)
{
    ASSERT_NO_FATAL_FAILURE(start());
    Session s;
    ASSERT_NO_FATAL_FAILURE(add(s));
    ASSERT_NO_FATAL_FAILURE(establish(s, GetParam().resume));
    media_both_ways(s);

    // Twenty strangers, each refused at once.
    for (int i = 0; i < 20; ++i) {
        SCOPED_TRACE(i);
        ASSERT_NO_FATAL_FAILURE(forge(s));
    }
    // No reconnection to the server, both of the victim's legs open, media on.
    EXPECT_TRUE(server.no_connection_for(1500ms)) << "the gateway reconnected to the server";
    EXPECT_EQ(server.tcp_accepts(), 1u);
    EXPECT_TRUE(s.server->open_and_silent(200ms));
    EXPECT_TRUE(s.client->open_and_silent(200ms));
    media_both_ways(s);
    server_to_client(s);
    // The broker heard of no ending.
    for (const auto& m : notifications_within(1s))
        EXPECT_NE(m.command(), "connection-closed") << m.body;
}

INSTANTIATE_TEST_SUITE_P(Sessions, ForgedHello,
                         ::testing::Values(EstablishedCase{"not_resumable", std::nullopt},
                                           EstablishedCase{"resumable", 300u}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(StrangerProcess, AForgedHelloCannotTakeAWaitingClientsTurn)
{
    // The server completes each handshake 3 s after the gateway connects.
    server.set_handshake_delay(3000ms);
    ASSERT_NO_FATAL_FAILURE(start());
    Session s;
    AddConnection a = AddConnection::of(server.port(), s.tag.text(), s.connection_id);
    a.server_sni = SERVER_SNI;
    s.rtag = broker.add_connection(a);
    ASSERT_FALSE(s.rtag.empty());

    // The victim's HELLO waits for the server leg; a stranger's comes next
    // and is answered at once, long before the server leg is up.
    ASSERT_NO_FATAL_FAILURE(connect_client(s));
    ASSERT_TRUE(s.client->send(HelloBuilder::for_tag(s.rtag, CLIENT_VIEW).hops({CLIENT_HOP}).frame(s.rtag)));
    const auto started = std::chrono::steady_clock::now();
    auto stranger = forge(s);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2500ms) << "the FAIL waited for the server leg";

    // The victim's HELLO still reaches the server, and its VERSION comes back.
    s.server = server_leg();
    ASSERT_TRUE(s.server);
    const auto frame = s.server->read_frame(FRAME_WAIT);
    ASSERT_TRUE(frame) << "the victim's HELLO never reached the server";
    s.hello = ReceivedHello::parse(frame->bytes);
    ASSERT_TRUE(s.hello) << frame->bytes;
    EXPECT_EQ(s.hello->validate(s.tag.text()), 0);
    EXPECT_EQ(s.hello->hops(), (std::vector<HelloHop>{CLIENT_HOP, GATEWAY_HOP}));
    ASSERT_NO_FATAL_FAILURE(version(s));
    EXPECT_EQ(server.tcp_accepts(), 1u);
}

TEST_F(StrangerProcess, PlantedHellosDoNotPoisonTheVictimsVersion)
{
    ASSERT_NO_FATAL_FAILURE(start());
    std::vector<std::unique_ptr<Session>> victims;
    std::vector<std::unique_ptr<TlsTestClient>> strangers;
    for (int v = 0; v < 8; ++v) {
        SCOPED_TRACE(v);
        victims.push_back(std::make_unique<Session>());
        Session& s = *victims.back();
        s.connection_id = "conn-" + std::to_string(v);
        ASSERT_NO_FATAL_FAILURE(add(s));
        // Six strangers plant HELLOs first, and stay; hop lists of other
        // lengths than the victim's would fail its VERSION check.
        for (int k = 0; k < 6; ++k) {
            std::vector<HelloHop> hops;
            for (int h = 0; h < (k == 0 ? 0 : k + 1); ++h)
                hops.push_back(HelloHop{"1.0", "stranger-" + std::to_string(h) + ".example", 0});
            strangers.push_back(forge(s, hops));
        }
        ASSERT_NO_FATAL_FAILURE(negotiate(s));
    }
    for (auto& s : victims)
        EXPECT_TRUE(s->server->open_and_silent(100ms));
}

struct SilentCase {
    const char* name;
    const char* max_connections;
    bool prunes;
};

class SilentConnects : public StrangerProcess, public ::testing::WithParamInterface<SilentCase> {};

TEST_P(SilentConnects, DoNotEvictANegotiatingClient)
{
    ASSERT_NO_FATAL_FAILURE(start({std::string("MaxConnections=") + GetParam().max_connections}));
    Session s;
    ASSERT_NO_FATAL_FAILURE(add(s));
    ASSERT_NO_FATAL_FAILURE(negotiate(s));

    // Connections that never send a byte, well past the maximum.
    std::vector<std::unique_ptr<TlsTestClient>> silent;
    for (int i = 0; i < 25; ++i) {
        silent.push_back(std::make_unique<TlsTestClient>());
        ASSERT_TRUE(silent.back()->connect_tcp(gw->external_tcp_port()));
    }
    if (GetParam().prunes)
        EXPECT_TRUE(logged("terminate_excess_pending_connections: Terminating excess pending connection from"));
    else
        EXPECT_FALSE(logged("terminate_excess_pending_connections", 1s));

    // The negotiating client was spared: its INVITE reaches the server.
    invite(s, KsdpMessage::invite(s.tag.text(), s.client_keys));
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_NO_FATAL_FAILURE(invite_ok(s, typical_invite_ok(s)));
    media_both_ways(s);
}

INSTANTIATE_TEST_SUITE_P(Limits, SilentConnects,
                         ::testing::Values(SilentCase{"max_10", "10", true}, SilentCase{"no_limit", "0", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// The victim's whole road, from its first HELLO through two resumptions,
// while a crowd of strangers hammers the port with everything it can make
// for the victim's session: the victim never waits on them, the server sees
// only the victim's connections, the broker hears of no ending.
TEST_F(StrangerProcess, AVictimsWholeRoadAmidAStrangerCrowd)
{
    ASSERT_NO_FATAL_FAILURE(start());
    Session own;  // the strangers' own session: they hold its rtag
    own.connection_id = "conn-own";
    ASSERT_NO_FATAL_FAILURE(add(own));
    Session s;
    ASSERT_NO_FATAL_FAILURE(add(s));

    StrangerCrowd crowd(gw->external_tcp_port(), {s.rtag, s.tag.text(), own.rtag});
    // Every kind of attempt is under way before the victim starts.
    ASSERT_TRUE(eventually([&] { return crowd.attempts() >= 16; }, 10s));
    ASSERT_NO_FATAL_FAILURE(establish(s, 60));
    media_both_ways(s);
    for (int i = 1; i <= 2; ++i) {
        SCOPED_TRACE("resumption " + std::to_string(i));
        auto old_client = std::move(s.client);
        s.rekey();
        ASSERT_NO_FATAL_FAILURE(hello(s, true));
        EXPECT_TRUE(old_client->wait_closed(5s)) << "the old client leg stayed open";
        ASSERT_NO_FATAL_FAILURE(version(s));
        invite(s, KsdpMessage::invite(s.tag.text(), s.client_keys));
        ASSERT_FALSE(HasFatalFailure());
        ASSERT_NO_FATAL_FAILURE(invite_ok(s, typical_invite_ok(s, 60)));
        media_both_ways(s);
    }
    crowd.stop();
    for (const auto& w : crowd.wrong_answers())
        ADD_FAILURE() << w;

    // Two sessions added, two resumptions: nothing else reached the server.
    EXPECT_TRUE(server.no_connection_for(500ms));
    EXPECT_EQ(server.tcp_accepts(), 4u);
    EXPECT_TRUE(s.client->open_and_silent(100ms));
    EXPECT_TRUE(own.server->open_and_silent(100ms));
    media_both_ways(s);
    for (const auto& m : notifications_within(1s))
        EXPECT_NE(m.command(), "connection-closed") << m.body;
}

// The REJECTED loop (the server's first connection presents another
// certificate) runs its course while strangers hammer: one reconnect, and
// the matching server gets the victim's HELLO with the victim's hops.
TEST_F(StrangerProcess, TheRejectedLoopAmidAStrangerCrowd)
{
    server.set_identities({impostor_identity(), server_identity()});
    ASSERT_NO_FATAL_FAILURE(start());
    Session s;
    ASSERT_NO_FATAL_FAILURE(add(s));
    StrangerCrowd crowd(gw->external_tcp_port(), {s.rtag, s.tag.text(), Session().tag.text()});
    ASSERT_TRUE(eventually([&] { return crowd.attempts() >= 16; }, 10s));
    ASSERT_NO_FATAL_FAILURE(connect_client(s));
    ASSERT_TRUE(s.client->send(HelloBuilder::for_tag(s.rtag, CLIENT_VIEW).hops({CLIENT_HOP}).frame(s.rtag)));
    auto frame = s.server->read_frame(FRAME_WAIT);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->body, "<KAVRI><REJECT /></KAVRI>");
    ASSERT_TRUE(s.server->send(server_replies::rejected()));
    s.server = server_leg();
    ASSERT_TRUE(s.server);
    EXPECT_EQ(s.server->accept_index(), 1u);
    frame = s.server->read_frame(FRAME_WAIT);
    ASSERT_TRUE(frame) << "no HELLO after the reconnect";
    s.hello = ReceivedHello::parse(frame->bytes);
    ASSERT_TRUE(s.hello) << frame->bytes;
    EXPECT_EQ(s.hello->hops(), (std::vector<HelloHop>{CLIENT_HOP, GATEWAY_HOP}));
    ASSERT_NO_FATAL_FAILURE(version(s));
    invite(s, KsdpMessage::invite(s.tag.text(), s.client_keys));
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_NO_FATAL_FAILURE(invite_ok(s, typical_invite_ok(s)));
    crowd.stop();
    for (const auto& w : crowd.wrong_answers())
        ADD_FAILURE() << w;
    EXPECT_TRUE(server.no_connection_for(500ms));
    EXPECT_EQ(server.tcp_accepts(), 2u);
    media_both_ways(s);
}

// The broker removes a negotiated session and adds the same ctag again
// while strangers send HELLOs for it: the old client leg, joined to the
// removed server leg, can never pair with the new one (its INVITE is
// refused and it is closed; the new server connection sees nothing of it),
// and a returning client negotiates the re-added session to its media.
TEST_F(StrangerProcess, RemoveAndAddOfTheSameSessionWhileHellosArrive)
{
    ASSERT_NO_FATAL_FAILURE(start());
    Session s;
    ASSERT_NO_FATAL_FAILURE(add(s));
    StrangerCrowd crowd(gw->external_tcp_port(), {s.rtag, s.tag.text(), Session().tag.text(), true});
    ASSERT_TRUE(eventually([&] { return crowd.attempts() >= 16; }, 10s));
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_NO_FATAL_FAILURE(negotiate(s));
        auto old_client = std::move(s.client);
        const auto old_server = s.server;
        ASSERT_TRUE(broker.remove_connection(s.rtag));
        const std::string rtag = s.rtag;
        ASSERT_NO_FATAL_FAILURE(add(s));
        EXPECT_EQ(s.rtag, rtag) << "the same ctag gives the same rtag";
        EXPECT_TRUE(old_server->wait_closed(5s));

        EXPECT_TRUE(old_client->send(KsdpMessage::invite(s.tag.text(), s.client_keys).frame(SsigFrame::INVITE)));
        EXPECT_TRUE(old_client->wait_closed(5s)) << "the old client's INVITE was not refused";
        EXPECT_TRUE(s.server->open_and_silent(500ms)) << "the old client reached the new server leg";

        // The new server leg serves the next client, whose HELLO is the first it sees.
        ASSERT_NO_FATAL_FAILURE(negotiate(s));
        invite(s, KsdpMessage::invite(s.tag.text(), s.client_keys));
        ASSERT_FALSE(HasFatalFailure());
        ASSERT_NO_FATAL_FAILURE(invite_ok(s, typical_invite_ok(s)));
        media_both_ways(s);
        // Removed again from its established state, then re-added.
        ASSERT_TRUE(broker.remove_connection(s.rtag));
        EXPECT_TRUE(s.client->wait_closed(5s));
        EXPECT_TRUE(s.server->wait_closed(5s));
        ASSERT_NO_FATAL_FAILURE(add(s));
        s.rekey();
    }
    crowd.stop();
    for (const auto& w : crowd.wrong_answers())
        ADD_FAILURE() << w;
    EXPECT_TRUE(server.no_connection_for(500ms));
}

// Silent and half-handshaken connections against a small maximum: each
// accept prunes the oldest of them, whose descriptors go at once (they
// never completed TLS, so nothing holds them on a dormant list), while the
// connections stay open on the strangers' side.
TEST_F(StrangerProcess, AFloodAgainstASmallMaximumHoldsFewDescriptors)
{
    ASSERT_NO_FATAL_FAILURE(start({"MaxConnections=4"}));
    Session s;
    ASSERT_NO_FATAL_FAILURE(add(s));
    ASSERT_NO_FATAL_FAILURE(negotiate(s));
    const std::size_t fds_before = gw->open_descriptors();

    std::vector<std::unique_ptr<TlsTestClient>> flood;
    std::size_t most = 0;
    for (int i = 0; i < 120; ++i) {
        flood.push_back(std::make_unique<TlsTestClient>());
        ASSERT_TRUE(flood.back()->connect_tcp(gw->external_tcp_port()));
        if (i % 2 == 1) {
            ASSERT_TRUE(flood.back()->send(std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11)));
        }
        if (i % 10 == 9)
            most = std::max(most, gw->open_descriptors());
    }
    EXPECT_TRUE(eventually([&] { return log_count("Destroying SSIGClientConnection instance") >= 110; }, 10s))
        << log_count("Destroying SSIGClientConnection instance");
    // A descriptor per leg the maximum lets stay (with the newest and those
    // still in the middle of their closing on a busy machine), not one per
    // stranger.
    most = std::max(most, gw->open_descriptors());
    EXPECT_LE(most, fds_before + 24) << fds_before << " descriptors before the flood";

    // The negotiating client was spared.
    invite(s, KsdpMessage::invite(s.tag.text(), s.client_keys));
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_NO_FATAL_FAILURE(invite_ok(s, typical_invite_ok(s)));
    media_both_ways(s);
}

TEST_F(StrangerProcess, IdleAndRefusedConnectionsAreClosedAtTheirDeadlines)
{
    ASSERT_NO_FATAL_FAILURE(start());
    Session s;
    ASSERT_NO_FATAL_FAILURE(add(s));
    const std::size_t fds_before = gw->open_descriptors();

    // First frames the gateway drops without reading on: they do not count
    // as the first frame.
    const std::string hello = forged_hello(s.rtag, s.tag.text());
    const std::function<bool(TlsTestClient&)> dropped[] = {
        [](TlsTestClient& c) { return c.send(SsigFrame::post("<KAVRI><VERSION /></KAVRI>")); },
        [](TlsTestClient& c) { return c.send(SsigFrame::post("<KAVRI><FAIL><CODE>1034</CODE></FAIL></KAVRI>")); },
        [](TlsTestClient& c) { return c.send(SsigFrame::tlv(SsigFrame::PING)); },
        [](TlsTestClient& c) { return c.send(SsigFrame::tlv(SsigFrame::BYE)); },
        // Half a HELLO, a byte per TLS record, then a stall mid-frame.
        [&hello](TlsTestClient& c) {
            return c.send_split(hello.substr(0, hello.size() / 2), std::vector<std::size_t>(40, 1), 5ms);
        },
    };
    std::vector<std::unique_ptr<TlsTestClient>> without_tls, without_frame, refused;
    for (int i = 0; i < 10; ++i) {
        // Silent after the TCP connect.
        without_tls.push_back(std::make_unique<TlsTestClient>());
        ASSERT_TRUE(without_tls.back()->connect_tcp(gw->external_tcp_port()));
        // Half a handshake: a record header promising a ClientHello that never comes.
        without_tls.push_back(std::make_unique<TlsTestClient>());
        ASSERT_TRUE(without_tls.back()->connect_tcp(gw->external_tcp_port()));
        ASSERT_TRUE(without_tls.back()->send(std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11)));
        // TLS, then nothing.
        without_frame.push_back(std::make_unique<TlsTestClient>());
        ASSERT_TRUE(without_frame.back()->connect(gw->external_tcp_port(), std::string(GATEWAY_NAME)));
        // Refused with a FAIL, then silent: it never goes away by itself.
        refused.push_back(forge(s));
        without_frame.push_back(std::make_unique<TlsTestClient>());
        ASSERT_TRUE(without_frame.back()->connect(gw->external_tcp_port(), std::string(GATEWAY_NAME)));
        ASSERT_TRUE(dropped[i % 5](*without_frame.back()));
    }
    ASSERT_TRUE(eventually([&] { return gw->open_descriptors() >= fds_before + 50; }, 5s));

    // 10 s for TLS, 10 s after the FAIL, 30 s for the first frame; the
    // closes are counted in the sweep's records.
    for (auto& c : without_tls)
        EXPECT_TRUE(c->wait_closed(15s)) << "a connection without TLS stayed open";
    for (auto& c : refused)
        EXPECT_TRUE(c->wait_closed(5s)) << "a refused connection stayed open";
    for (auto& c : without_frame)
        EXPECT_TRUE(c->wait_closed(25s)) << "a TLS connection without a frame stayed open";
    EXPECT_TRUE(eventually([&] { return gw->open_descriptors() <= fds_before; }, 10s))
        << gw->open_descriptors() << " descriptors, " << fds_before << " before";
    ASSERT_TRUE(eventually(
        [&] {
            const auto d = deadline_closes();
            return d.without_tls == 20 && d.without_frame == 20 && d.after_fail == 10;
        },
        10s));
    EXPECT_EQ(deadline_closes().all, 50u);
    // Every one of them was destroyed, none held on a dormant list.
    EXPECT_TRUE(eventually([&] { return log_count("Destroying SSIGClientConnection instance") >= 50; }, 15s))
        << log_count("Destroying SSIGClientConnection instance");
    // The session's server leg is untouched.
    EXPECT_TRUE(s.server->open_and_silent(100ms));
}

}  // namespace
