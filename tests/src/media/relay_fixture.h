// A relay on 127.0.0.1 port 0 with its event loop not running (the check is
// driven by calling its handler), datagrams built with EVP, and recorders
// for the tunnels' callbacks.
#pragma once

#include "Config.h"
#include "LogCapture.h"
#include "UDPServer.h"
#include "relay_test_util.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <boost/asio/io_service.hpp>

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace relay_test {

// True once done() holds, false when bound passes first.
template <class F>
bool within(std::chrono::milliseconds bound, F done)
{
    const auto end = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    return true;
}

// The big-endian word at `at` of a datagram: its sequence number by default.
inline uint32_t sequence_of(const bytes& d, size_t at = 4)
{
    uint32_t s;
    std::memcpy(&s, d.data() + at, 4);
    return ntohl(s);
}

// The state and termination callbacks of one tunnel direction.
class Events : public std::enable_shared_from_this<Events> {
public:
    boost::function<void(eSESSION_STATE)> state_cb()
    {
        auto self = shared_from_this();
        return [self](eSESSION_STATE s) {
            std::lock_guard<std::mutex> lock(self->mutex);
            self->state_list.push_back(s);
        };
    }
    boost::function<void(const std::string&)> terminated_cb()
    {
        auto self = shared_from_this();
        return [self](const std::string& r) {
            std::lock_guard<std::mutex> lock(self->mutex);
            self->reason_list.push_back(r);
        };
    }
    std::vector<eSESSION_STATE> states() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return state_list;
    }
    std::vector<std::string> reasons() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return reason_list;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(mutex);
        state_list.clear();
        reason_list.clear();
    }

private:
    mutable std::mutex mutex;
    std::vector<eSESSION_STATE> state_list;
    std::vector<std::string> reason_list;
};

inline std::shared_ptr<Events> make_events()
{
    return std::make_shared<Events>();
}

// Key, salt and SPI of one direction; spi as messages print it.
struct Keys {
    bytes key;
    uint32_t salt;
    uint32_t spi;
    uint32_t wire_spi() const { return htonl(spi); }
    std::vector<char> key_chars() const { return as_key(key); }
};

inline Keys keys_for(uint32_t spi, size_t key_size = 16)
{
    Keys k;
    k.key.resize(key_size);
    for (size_t i = 0; i < key_size; ++i)
        k.key[i] = static_cast<unsigned char>(spi * 31 + i * 7);
    k.salt = spi ^ 0x5a5a5a5au;
    k.spi = spi;
    return k;
}

// A sealed datagram: [4-byte clear header] SPI, sequence, IV, payload, tag.
inline bytes datagram(const Keys& k, uint32_t sequence, size_t payload = 24,
                      const bytes& clear_header = bytes())
{
    unsigned char header[16];
    const uint32_t words[4] = {htonl(k.spi), htonl(sequence), htonl(0x01020304u), htonl(sequence * 7 + 1)};
    std::memcpy(header, words, 16);
    bytes pt(payload);
    for (size_t i = 0; i < payload; ++i)
        pt[i] = static_cast<unsigned char>(i + sequence);
    bytes d = evp_seal(k.key, k.salt, header, pt);
    d.insert(d.begin(), clear_header.begin(), clear_header.end());
    return d;
}

class RelayFixture : public ::testing::Test {
protected:
    using endpoint = boost::asio::ip::udp::endpoint;

    void SetUp() override
    {
        vexa::Config* c = vexa::Config::get_instance();
        c->set("UdpMaxNoActivitySeconds", idle_seconds);
        c->set("EnableRoamingIP", roaming ? "1" : "0");
        c->set("UdpSocketRxBufSize", "384");
        c->set("UdpSocketTxBufSize", "192");
        relay.reset(new vexa::UDPServer(loop, "127.0.0.1", "0", "127.0.0.1", "0"));
    }
    void TearDown() override
    {
        if (relay)
            relay->stop();
    }

    // One tick of the 5-second check.
    void tick() { relay->handle_periodic(boost::system::error_code()); }

    vexa::UDPServer::tunnel_ptr c2s(const Keys& k, const std::string& sid, const endpoint& target,
                                    const std::shared_ptr<Events>& ev, unsigned clear = 0,
                                    unsigned resume = 0, const std::string& cid = "conn-1",
                                    const std::string& rtag = "")
    {
        return relay->setup_client_to_server_tunnel(target, k.wire_spi(), k.salt, k.key_chars(), clear,
                                                    resume, rtag.empty() ? "rtag-" + sid : rtag, cid,
                                                    sid, "log-" + sid, ev->state_cb(),
                                                    ev->terminated_cb());
    }
    vexa::UDPServer::tunnel_ptr s2c(const Keys& k, const std::string& sid, const endpoint& target,
                                    const std::shared_ptr<Events>& ev, unsigned clear = 0,
                                    unsigned resume = 0, const std::string& cid = "conn-1",
                                    const std::string& rtag = "")
    {
        return relay->setup_server_to_client_tunnel(target, k.wire_spi(), k.salt, k.key_chars(), clear,
                                                    resume, rtag.empty() ? "rtag-" + sid : rtag, cid,
                                                    sid, "log-" + sid, ev->state_cb(),
                                                    ev->terminated_cb());
    }

    // Feeds one datagram to a side's send-thread work, as if received.
    void feed(vexa::PacketForwarderPool& pool, const bytes& d, const endpoint& from)
    {
        vexa::PacketForwarder* b = new vexa::PacketForwarder;
        std::memcpy(b->data, d.data(), d.size());
        b->length = static_cast<int32_t>(d.size());
        b->source = from;
        b->process_and_forward(pool);
        delete b;
    }
    void from_client(const bytes& d, const endpoint& from = client_ep()) { feed(relay->get_client_pool(), d, from); }
    void from_server(const bytes& d, const endpoint& from = server_ep()) { feed(relay->get_server_pool(), d, from); }

    static endpoint client_ep() { return endpoint(boost::asio::ip::make_address("127.0.0.7"), 40000); }
    static endpoint server_ep() { return endpoint(boost::asio::ip::make_address("127.0.0.9"), 50000); }
    static endpoint nowhere() { return endpoint(boost::asio::ip::address_v4::any(), 4172); }

    std::string idle_seconds = "180";
    bool roaming = true;
    boost::asio::io_service loop;
    LogCapture log;
    boost::shared_ptr<vexa::UDPServer> relay;
};

}  // namespace relay_test
