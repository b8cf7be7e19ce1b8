// Counts how long a connection object has gone without traffic, in ticks of
// its owner's 5-second check, and when a dormant object may be released.
//
// Threads: mark_activity() on any I/O thread; the tick functions and the
// plain fields (maximum, resume ticks, release time) on the owner's check or
// stopping code only. The flag and the idle ticks are atomic.
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <atomic>
#include <cstdint>

namespace vexa {

class IdleMonitored {
public:
    static constexpr int32_t TICK_SECONDS = 5;
    static constexpr int32_t RELEASE_DELAY_SECONDS = 10;

    explicit IdleMonitored(int32_t timeout_seconds);

    // Records traffic; the next tick resets the idle count. Sequentially
    // consistent, so an owner can order it against flags of its own.
    void mark_activity() { activity.fetch_or(1); }
    // Consumes the traffic recorded since the last tick without counting a
    // tick: true, with the idle count reset, when there was some.
    bool take_activity();

    // One tick; true while the idle ticks are within the limit.
    bool is_active();
    // Past the idle limit, one tick; true once the resume allowance is also used.
    bool is_resume_period_expired();
    // The same for an object its owner has taken out of service: one tick
    // that ignores traffic, which the owner no longer accepts, so nothing
    // can restart the count.
    bool is_parked_period_expired();
    void set_resume_timeout(uint32_t seconds);
    int32_t get_idle_time_seconds() const;

    void set_dormant();
    bool is_ready_for_release_at(const boost::posix_time::ptime& t) const;

    int64_t get_max_idle_ticks() const { return max_idle_ticks; }
    uint32_t get_resume_ticks() const { return resume_ticks; }

private:
    int64_t tick();

    std::atomic<uint64_t> activity;
    std::atomic<int64_t> idle_ticks;
    int64_t max_idle_ticks;
    uint32_t resume_ticks;
    boost::posix_time::ptime release_time;
};

}  // namespace vexa
