// The per-datagram path allocates nothing: counted by a replacement of the
// global allocation functions (per thread, so other threads do not count).
// With the replacements below in view, optimising GCC pairs every inlined
// delete with malloc and reports a mismatch that is not there.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include "relay_fixture.h"

#include <boost/log/core.hpp>
#include <boost/log/expressions.hpp>

#include <cstdlib>
#include <new>

namespace {
thread_local uint64_t allocations = 0;
}  // namespace

void* operator new(std::size_t size)
{
    ++allocations;
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

using namespace relay_test;

class Allocation : public RelayFixture {};

TEST_F(Allocation, NoneOnTheForwardingPathNorOnFilteredDrops)
{
    auto ev = make_events();
    const Keys plain = keys_for(0xa9000001), clear = keys_for(0xa9000002);
    auto p = c2s(plain, "p", server_ep(), ev);
    auto c = c2s(clear, "c", server_ep(), ev, 1);
    std::vector<bytes> good, bad;
    for (uint32_t i = 1; i <= 50; ++i) {
        good.push_back(datagram(plain, i, 200));
        good.push_back(datagram(clear, i, 200, {0x81, 0x44, 0, 0}));
        bytes forged = datagram(plain, i, 200);
        forged.back() ^= 1;
        bad.push_back(forged);
        bad.push_back(datagram(keys_for(0x7e000000 + i), i, 200));
    }
    const uint64_t probe = allocations;
    vexa::PacketForwarder* buffer = new vexa::PacketForwarder;
    ASSERT_GT(allocations, probe);  // the counter sees allocations at all
    auto run = [&](const std::vector<bytes>& list, vexa::PacketForwarderPool& pool) {
        for (const bytes& d : list) {
            std::memcpy(buffer->data, d.data(), d.size());
            buffer->length = static_cast<int32_t>(d.size());
            buffer->source = client_ep();
            buffer->process_and_forward(pool);
        }
    };
    run(good, relay->get_client_pool());  // first datagrams: logged, state set
    // Drops are debug records: filtered out as in production.
    boost::log::core::get()->set_filter(boost::log::trivial::severity >= boost::log::trivial::info);
    const uint64_t before = allocations;
    run(good, relay->get_client_pool());
    run(bad, relay->get_client_pool());
    const uint64_t used = allocations - before;
    boost::log::core::get()->reset_filter();
    delete buffer;
    EXPECT_EQ(0u, used);
    EXPECT_EQ(100u, vexa::SessionStatistics::get(p->stats.packet_count));
    EXPECT_EQ(100u, vexa::SessionStatistics::get(c->stats.packet_count));
}
