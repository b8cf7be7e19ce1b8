#include "IdleMonitored.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

namespace {

using boost::posix_time::seconds;
using boost::posix_time::second_clock;

TEST(IdleMonitored, LimitInWholeTicks)
{
    struct {
        int32_t seconds;
        int64_t ticks;
    } cases[] = {{180, 36}, {7, 1}, {4, 0}, {0, 0}, {-1, 858993459}};
    for (const auto& c : cases)
        EXPECT_EQ(c.ticks, vexa::IdleMonitored(c.seconds).get_max_idle_ticks()) << c.seconds;
}

TEST(IdleMonitored, InactiveOnTheTickAfterTheLimit)
{
    vexa::IdleMonitored m(180);
    for (int i = 1; i <= 36; ++i)
        ASSERT_TRUE(m.is_active()) << "tick " << i;
    EXPECT_EQ(180, m.get_idle_time_seconds());
    EXPECT_FALSE(m.is_active());
}

TEST(IdleMonitored, TrafficResetsTheCount)
{
    vexa::IdleMonitored m(10);
    EXPECT_TRUE(m.is_active());
    EXPECT_TRUE(m.is_active());
    m.mark_activity();
    m.mark_activity();
    EXPECT_TRUE(m.is_active());
    EXPECT_EQ(0, m.get_idle_time_seconds());
    EXPECT_TRUE(m.is_active());
    EXPECT_TRUE(m.is_active());
    EXPECT_FALSE(m.is_active());
    // Traffic brings an idle object back at the next tick.
    m.mark_activity();
    EXPECT_TRUE(m.is_active());
}

TEST(IdleMonitored, ZeroLimitIsInactiveOnTheFirstSilentTick)
{
    vexa::IdleMonitored m(0);
    EXPECT_FALSE(m.is_active());
}

TEST(IdleMonitored, ResumeAllowanceRoundsUp)
{
    struct {
        uint32_t seconds;
        uint32_t ticks;
    } cases[] = {{0, 0},          {1, 1},          {5, 1},          {6, 2},
                 {180, 36},       // near the 32-bit limit the rounding must not wrap to "no resume"
                 {4294967290u, 858993458u}, {4294967291u, 858993459u}, {4294967292u, 858993459u},
                 {4294967295u, 858993459u}};
    for (const auto& c : cases) {
        vexa::IdleMonitored m(180);
        m.set_resume_timeout(c.seconds);
        EXPECT_EQ(c.ticks, m.get_resume_ticks()) << c.seconds;
    }
}

TEST(IdleMonitored, ResumePeriodCountsOnlyPastTheLimit)
{
    vexa::IdleMonitored m(10);  // 2 ticks
    m.set_resume_timeout(20);   // 4 ticks
    // Within the limit nothing ticks.
    for (int i = 0; i < 5; ++i)
        EXPECT_FALSE(m.is_resume_period_expired());
    EXPECT_EQ(0, m.get_idle_time_seconds());

    EXPECT_TRUE(m.is_active());
    EXPECT_TRUE(m.is_active());
    EXPECT_FALSE(m.is_active());              // 3 ticks: idle
    EXPECT_FALSE(m.is_resume_period_expired());  // 4
    EXPECT_TRUE(m.is_resume_period_expired());   // 5 > 4
}

TEST(IdleMonitored, SmallAllowanceExpiresOnTheFirstCallPastTheLimit)
{
    vexa::IdleMonitored m(10);
    m.set_resume_timeout(5);
    EXPECT_TRUE(m.is_active());
    EXPECT_TRUE(m.is_active());
    EXPECT_FALSE(m.is_active());
    EXPECT_TRUE(m.is_resume_period_expired());
}

TEST(IdleMonitored, ParkedPeriodIgnoresTraffic)
{
    vexa::IdleMonitored m(10);  // 2 ticks
    m.set_resume_timeout(20);   // 4 ticks
    for (int i = 0; i < 3; ++i)
        m.is_active();  // 3 ticks: idle
    m.mark_activity();  // slipped in after the owner parked it
    EXPECT_FALSE(m.is_parked_period_expired());  // 4
    m.mark_activity();
    EXPECT_TRUE(m.is_parked_period_expired());   // 5 > 4
    EXPECT_EQ(25, m.get_idle_time_seconds());
}

TEST(IdleMonitored, TakeActivityConsumesTrafficWithoutATick)
{
    vexa::IdleMonitored m(10);
    m.is_active();
    EXPECT_FALSE(m.take_activity());
    EXPECT_EQ(5, m.get_idle_time_seconds());  // no tick counted
    m.mark_activity();
    EXPECT_TRUE(m.take_activity());
    EXPECT_EQ(0, m.get_idle_time_seconds());
    EXPECT_FALSE(m.take_activity());
    EXPECT_TRUE(m.is_active());
    EXPECT_EQ(5, m.get_idle_time_seconds());  // the traffic was consumed
}

TEST(IdleMonitored, ReleaseTenSecondsAfterDormant)
{
    vexa::IdleMonitored m(180);
    const auto now = second_clock::universal_time();
    EXPECT_FALSE(m.is_ready_for_release_at(now));
    EXPECT_FALSE(m.is_ready_for_release_at(now + seconds(3600 * 24 * 365)));

    m.set_dormant();
    const auto after = second_clock::universal_time();
    EXPECT_FALSE(m.is_ready_for_release_at(now + seconds(9)));
    EXPECT_TRUE(m.is_ready_for_release_at(after + seconds(10)));
}

}  // namespace
