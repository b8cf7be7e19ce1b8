// The counter map and the JSON statistics, as exact texts.
#include "relay_fixture.h"

using namespace relay_test;

namespace {

std::string counters(uint64_t count, uint64_t bytes, uint64_t imaging_count, uint64_t imaging_bytes,
                     uint64_t audio_count, uint64_t audio_bytes, uint64_t ooo, const std::string& times = "")
{
    return "\"packet-count\":" + std::to_string(count) + ",\"packet-bytes\":" + std::to_string(bytes) +
           ",\"imaging-count\":" + std::to_string(imaging_count) + ",\"imaging-bytes\":" +
           std::to_string(imaging_bytes) + ",\"audio-count\":" + std::to_string(audio_count) +
           ",\"audio-bytes\":" + std::to_string(audio_bytes) + ",\"out-of-order\":" + std::to_string(ooo) +
           times;
}

std::string entry(const std::string& id, const std::string& server, const std::string& client)
{
    return "\"" + id + "\":{ \"server-stats\": {" + server + "}, \"client-stats\": {" + client + "} }";
}

}  // namespace

class Stats : public RelayFixture {
protected:
    Stats() { idle_seconds = "0"; }
    std::string json(time_t now)
    {
        std::string out = "stale";
        relay->populate_json_session_statistics(out, now);
        return out;
    }
};

TEST_F(Stats, NoTunnels)
{
    EXPECT_EQ("{}", json(1000));
    std::string out = "stale";
    relay->populate_json_session_statistics(out);
    EXPECT_EQ("{}", out);
    auto stats = relay->get_statistics();
    EXPECT_EQ((std::map<std::string, std::string>{{"sessions", "0"}, {"sessions_hwm", "0"}}), stats);
    EXPECT_EQ("sessions", vexa::UDPServer::stats_sessions_tag);
    EXPECT_EQ("sessions_hwm", vexa::UDPServer::stats_sessions_hwm_tag);
}

TEST_F(Stats, OneSessionBothDirectionsAndOneSideOnly)
{
    auto ev = make_events();
    const Keys up = keys_for(0xa5000001), down = keys_for(0xa5000002), alone = keys_for(0xa5000003);
    auto c = c2s(up, "s1", nowhere(), ev, 0, 0, "conn-b");
    auto s = s2c(down, "s1", nowhere(), ev, 1, 0, "conn-b");
    c2s(alone, "s2", nowhere(), ev, 0, 0, "conn-a");
    from_client(datagram(up, 1, 24));
    from_client(datagram(up, 3, 100));
    from_server(datagram(down, 1, 10, {0x81, 0x44, 0, 0}));
    const time_t cs = vexa::SessionStatistics::get(c->stats.session_start);
    const time_t ss = vexa::SessionStatistics::get(s->stats.session_start);
    ASSERT_NE(0, cs);
    const time_t now = std::max(cs, ss) + 7;
    const std::string times_c = ",\"session-time\":" + std::to_string(now - cs) + ",\"recent-time\":" +
                                std::to_string(now - vexa::SessionStatistics::get(c->stats.last_packet_time));
    const std::string times_s = ",\"session-time\":" + std::to_string(now - ss) + ",\"recent-time\":" +
                                std::to_string(now - vexa::SessionStatistics::get(s->stats.last_packet_time));
    const std::string expected =
        "{" + entry("conn-a", "", counters(0, 0, 0, 0, 0, 0, 0)) + "," +
        entry("conn-b", counters(1, 42, 0, 0, 1, 42, 0, times_s), counters(2, 56 + 132, 0, 0, 0, 0, 1, times_c)) +
        "}";
    EXPECT_EQ(expected, json(now));
    EXPECT_EQ("2", relay->get_statistics()["sessions"]);
}

TEST_F(Stats, ParkedTunnelsAreAbsentAndComeBackWithTheirCounters)
{
    auto ev = make_events();
    const Keys k = keys_for(0xa6000001), k2 = keys_for(0xa6000002);
    c2s(k, "s", nowhere(), ev, 0, 600, "conn");
    from_client(datagram(k, 1));
    tick();  // traffic: stays
    tick();  // idle limit 0: parked
    EXPECT_EQ("{}", json(1));
    EXPECT_EQ("0", relay->get_statistics()["sessions"]);
    EXPECT_EQ("1", relay->get_statistics()["sessions_hwm"]);
    c2s(k2, "s", nowhere(), ev, 0, 600, "conn");
    from_client(datagram(k2, 2));
    const std::string text = json(std::time(nullptr) + 100000);
    EXPECT_NE(std::string::npos, text.find("\"client-stats\": {\"packet-count\":2,")) << text;
}

TEST_F(Stats, ConnectionIdsAreEscaped)
{
    auto ev = make_events();
    c2s(keys_for(0xa7000001), "s1", nowhere(), ev, 0, 0, "a\"b\\c<d>&e\x01\x1f" "f");
    c2s(keys_for(0xa7000002), "s2", nowhere(), ev, 0, 0, "plain-id");
    const std::string zero = counters(0, 0, 0, 0, 0, 0, 0);
    EXPECT_EQ("{" + entry("a\\\"b\\\\c\\u003cd\\u003e\\u0026e\\u0001\\u001ff", "", zero) + "," +
                  entry("plain-id", "", zero) + "}",
              json(5));
}
