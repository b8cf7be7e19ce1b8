#include "IdleMonitored.h"

#include <boost/date_time/posix_time/posix_time.hpp>

namespace vexa {

IdleMonitored::IdleMonitored(int32_t timeout_seconds)
    : activity(0),
      idle_ticks(0),
      max_idle_ticks(static_cast<uint32_t>(timeout_seconds) / static_cast<uint32_t>(TICK_SECONDS)),
      resume_ticks(0),
      release_time(boost::posix_time::pos_infin)
{
}

int64_t IdleMonitored::tick()
{
    if (activity.exchange(0) != 0) {
        idle_ticks.store(0);
        return 0;
    }
    return idle_ticks.fetch_add(1) + 1;
}

bool IdleMonitored::take_activity()
{
    if (activity.exchange(0) == 0)
        return false;
    idle_ticks.store(0);
    return true;
}

bool IdleMonitored::is_active()
{
    return tick() <= max_idle_ticks;
}

bool IdleMonitored::is_resume_period_expired()
{
    if (idle_ticks.load() <= max_idle_ticks)
        return false;
    return tick() > static_cast<int64_t>(resume_ticks);
}

bool IdleMonitored::is_parked_period_expired()
{
    return idle_ticks.fetch_add(1) + 1 > static_cast<int64_t>(resume_ticks);
}

void IdleMonitored::set_resume_timeout(uint32_t seconds)
{
    // In 64 bits: a grant within 4 s of the 32-bit limit would wrap to 0 ("no resume").
    resume_ticks = static_cast<uint32_t>((uint64_t(seconds) + 4u) / 5u);
}

int32_t IdleMonitored::get_idle_time_seconds() const
{
    return static_cast<int32_t>(idle_ticks.load() * TICK_SECONDS);
}

void IdleMonitored::set_dormant()
{
    release_time = boost::posix_time::second_clock::universal_time() +
                   boost::posix_time::seconds(RELEASE_DELAY_SECONDS);
}

bool IdleMonitored::is_ready_for_release_at(const boost::posix_time::ptime& t) const
{
    return t >= release_time;
}

}  // namespace vexa
