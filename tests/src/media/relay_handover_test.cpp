// The hand-over between a receive thread that forwards datagrams itself
// while its direction is idle and the send thread that takes the rest: the
// ring's protocol under every interleaving a scheduler draws, bursts at
// every gap length both ways over loopback, a send buffer that fills under
// inline sends, and tunnels rekeyed and removed in the middle of a stream.
#include "BasicPacketRing.h"
#include "PoolSide.h"
#include "SteppedSync.h"
#include "UdpPeer.h"

#include <boost/bind/bind.hpp>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <set>
#include <thread>
#include <vector>

using namespace relay_test;
using boost::placeholders::_1;

namespace {

using steady = std::chrono::steady_clock;
using endpoint = boost::asio::ip::udp::endpoint;
using SteppedRing = vexa::BasicPacketRing<SteppedSync>;

[[maybe_unused]] uint32_t sequence_of(const bytes& d, size_t at = 4)
{
    uint32_t s;
    std::memcpy(&s, d.data() + at, 4);
    return ntohl(s);
}

// A pool's two rings and three buffers, driven as the pool drives them: the
// receive thread forwards a datagram itself when taker_idle says so and
// otherwise hands it over; the send thread forwards what it takes. What
// "forwarding" records is read with the scheduler's baton held, so plain
// fields do.
struct HandOverModel {
    static constexpr int32_t DATAGRAMS = 16;

    SteppedRing filled{4, 0xfffffffcu, std::chrono::nanoseconds(0)};
    SteppedRing free_ring{4, 0, std::chrono::nanoseconds(0), 3};
    vexa::PacketForwarder buffers[3];
    int forwarding = 0;  // 0: nobody, 1: the receive thread, 2: the send thread
    int32_t last = 0;
    bool overlap = false, disorder = false;
    bool receiver_holds = false;
    int by_receiver = 0, by_sender = 0;

    HandOverModel()
    {
        for (auto& b : buffers)
            free_ring.put(&b);
    }
    void forward(vexa::PacketForwarder* b, int who)
    {
        if (forwarding != 0)
            overlap = true;
        forwarding = who;
        ++(who == 1 ? by_receiver : by_sender);
        if (b->length != last + 1)
            disorder = true;
        last = b->length;
        StepScheduler::mark(0);  // the check and the send take a while
        if (forwarding != who)
            overlap = true;
        forwarding = 0;
    }
    void receive_thread()
    {
        vexa::PacketForwarder* own = free_ring.take();
        for (int32_t k = 1; k <= DATAGRAMS; ++k) {
            own->length = k;
            StepScheduler::mark(0);  // the receive
            if (filled.taker_idle()) {
                forward(own, 1);
                continue;
            }
            filled.put(own);
            own = free_ring.take();
        }
        receiver_holds = own != nullptr;
        filled.put(nullptr);
    }
    void send_thread()
    {
        while (vexa::PacketForwarder* b = filled.take()) {
            forward(b, 2);
            free_ring.put(b);
        }
    }
};

}  // namespace

// Every interleaving the scheduler draws, step by step through the rings'
// atomics: the receive thread forwards only while the send thread is done
// and asleep, so the datagrams are forwarded one at a time and in order; no
// wake-up is lost (the run never sticks) and every buffer comes back.
TEST(HandOver, OneThreadForwardsAtATimeInOrderUnderEveryInterleaving)
{
    int by_receiver = 0, by_sender = 0;
    for (uint32_t seed = 1; seed <= 60; ++seed) {
        HandOverModel m;
        StepScheduler scheduler({[&m] { m.receive_thread(); }, [&m] { m.send_thread(); }});
        const StepScheduler::Outcome outcome = scheduler.run_randomly(seed);
        ASSERT_EQ(StepScheduler::Outcome::finished, outcome) << "seed " << seed;
        ASSERT_FALSE(m.overlap) << "both threads forwarded at once; seed " << seed;
        ASSERT_FALSE(m.disorder) << "seed " << seed;
        ASSERT_EQ(HandOverModel::DATAGRAMS, m.last) << "seed " << seed;
        ASSERT_TRUE(m.receiver_holds);
        ASSERT_EQ(2, m.free_ring.available() + m.filled.available()) << "seed " << seed;
        by_receiver += m.by_receiver;
        by_sender += m.by_sender;
    }
    // Both ways of forwarding were taken, many times.
    EXPECT_GT(by_receiver, 100);
    EXPECT_GT(by_sender, 100);
}


// The moment the order of taker_idle's loads is for, played out step by
// step: the send thread has spun on the empty ring up to its announcement,
// the receive thread puts a buffer before it sees the announcement, and the
// send thread then announces, finds the buffer, takes the announcement back
// and takes the buffer. Whichever of taker_idle's steps the send thread's
// take-back comes after, the receive thread must not find it idle while it
// holds that buffer; once it is done and asleep again, it must.
TEST(HandOver, AnAnnouncementTakenBackIsNeverSeenAsIdle)
{
    using Step = StepScheduler::Step;
    const auto announcement = [](const Step& s) { return s.kind == Step::store && s.on_flag && s.value == 1; };
    const auto sleep = [](const Step& s) { return s.kind == Step::wait; };
    const auto at_mark = [](uint64_t tag) {
        return [tag](const Step& s) { return s.kind == Step::mark && s.value == tag; };
    };
    for (int early_steps = 0; early_steps <= 3; ++early_steps) {
        SCOPED_TRACE(early_steps);
        SteppedRing ring(4, 0, std::chrono::nanoseconds(0));
        vexa::PacketForwarder buffer;
        bool idle_holding = true, idle_after = false;
        StepScheduler s({[&] {
                             StepScheduler::mark(1);
                             ring.put(&buffer);
                             StepScheduler::mark(2);
                             idle_holding = ring.taker_idle();
                             StepScheduler::mark(3);
                             idle_after = ring.taker_idle();
                             StepScheduler::mark(4);
                             ring.put(nullptr);
                         },
                         [&] {
                             ring.take();
                             StepScheduler::mark(10);
                             ring.take();
                         }});
        ASSERT_TRUE(s.advance(1, announcement));
        ASSERT_TRUE(s.advance(0, at_mark(2)));  // put, with no announcement seen
        ASSERT_TRUE(s.advance_one(1));         // the announcement
        ASSERT_TRUE(s.advance_one(0));         // into taker_idle
        int taken = 0;
        ASSERT_TRUE(s.advance(0, [&](const Step& st) { return at_mark(3)(st) || taken++ == early_steps; }));
        ASSERT_TRUE(s.advance(1, at_mark(10)));  // taken back, buffer taken
        ASSERT_TRUE(s.advance(0, at_mark(3)));
        EXPECT_FALSE(idle_holding);
        ASSERT_TRUE(s.advance(1, sleep));  // done with it and asleep again
        ASSERT_TRUE(s.advance(0, at_mark(4)));
        EXPECT_TRUE(idle_after);
        EXPECT_EQ(StepScheduler::Outcome::finished, s.run_randomly(1));
    }
}
