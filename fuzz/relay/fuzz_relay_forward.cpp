// process_and_forward() on arbitrary datagrams against a relay with a few
// tunnels (plain and clear-header, both sides, 128- and 256-bit keys). The
// first input byte picks the side and, when its top bit is set, seals the
// rest under one tunnel's keys so the accepting path is reached too.
// Targets are 0.0.0.0: nothing leaves the process.
#include "AESGCM.h"
#include "Config.h"
#include "UDPServer.h"

#include <arpa/inet.h>
#include <boost/asio/io_service.hpp>
#include <boost/log/core.hpp>
#include <boost/make_shared.hpp>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

struct Tunnel {
    uint32_t spi;
    uint32_t salt;
    std::vector<char> key;
    unsigned clear;
    bool client_side;
};

const Tunnel TUNNELS[] = {
    {0xa1b2c3d4, 0x01020304, std::vector<char>(16, 0x11), 0, true},
    {0x81000001, 0x05060708, std::vector<char>(32, 0x22), 1, true},
    {0x12345678, 0x0a0b0c0d, std::vector<char>(16, 0x33), 0, false},
    {0x81440000, 0x0e0f1011, std::vector<char>(16, 0x44), 1, false},
};

struct Relay {
    boost::asio::io_service loop;
    boost::shared_ptr<vexa::UDPServer> server;
    std::vector<boost::shared_ptr<vexa::AESGCM>> sealers;
    Relay()
    {
        boost::log::core::get()->set_logging_enabled(false);
        vexa::Config* c = vexa::Config::get_instance();
        c->set("UdpMaxNoActivitySeconds", "180");
        c->set("EnableRoamingIP", "1");
        server = boost::make_shared<vexa::UDPServer>(loop, "127.0.0.1", "0", "127.0.0.1", "0");
        const boost::asio::ip::udp::endpoint nowhere(boost::asio::ip::address_v4::any(), 4172);
        int i = 0;
        for (const Tunnel& t : TUNNELS) {
            const std::string id = std::to_string(i++);
            auto setup = t.client_side ? &vexa::UDPServer::setup_client_to_server_tunnel
                                       : &vexa::UDPServer::setup_server_to_client_tunnel;
            ((*server).*setup)(nowhere, htonl(t.spi), t.salt, t.key, t.clear, 60, "rtag" + id, "conn" + id, "sid" + id,
                               "log" + id, boost::function<void(eSESSION_STATE)>(),
                               boost::function<void(const std::string&)>());
            sealers.push_back(vexa::AESGCM::create(t.key, t.salt));
            sealers.back()->set_spi(t.spi);
        }
    }
};

Relay& relay()
{
    static Relay* r = new Relay;  // lives for the process, like the real relay
    return *r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    Relay& r = relay();
    const uint8_t control = data[0];
    const bool to_server_side = control & 1;
    vexa::PacketForwarder* buffer = new vexa::PacketForwarder;
    size_t n = size - 1;
    if (n > vexa::PacketForwarder::DATA_SIZE)
        n = vexa::PacketForwarder::DATA_SIZE;
    std::memcpy(buffer->data, data + 1, n);
    buffer->length = static_cast<int32_t>(n);
    if ((control & 0x80) && n >= 20) {
        // Seal the payload under tunnel (control >> 1) & 3 into a valid datagram.
        const Tunnel& t = TUNNELS[(control >> 1) & 3];
        const size_t offset = t.clear ? 4 : 0;
        const size_t payload = std::min<size_t>(n - 20, vexa::PacketForwarder::DATA_SIZE - 32 - offset);
        std::vector<unsigned char> d(offset + 32 + payload);
        std::memcpy(d.data(), data + 1, 4);
        d[0] |= 0x80;
        std::memcpy(d.data() + offset + 16, data + 1 + 20, payload);
        unsigned len = static_cast<unsigned>(16 + payload);
        r.sealers[(control >> 1) & 3]->encrypt(d.data() + offset, &len);
        std::memcpy(buffer->data, d.data(), d.size());
        buffer->length = static_cast<int32_t>(d.size());
        const bool client_side = t.client_side;
        buffer->process_and_forward(client_side ? r.server->get_client_pool() : r.server->get_server_pool());
    } else {
        buffer->process_and_forward(to_server_side ? r.server->get_server_pool() : r.server->get_client_pool());
    }
    delete buffer;
    if (control == 0x7f) {
        r.server->handle_periodic(boost::system::error_code());
        // Re-arming cancels the previous wait; run its aborted completion so
        // completions do not pile up in a loop that never runs.
        r.loop.restart();
        r.loop.poll();
    }
    return 0;
}
