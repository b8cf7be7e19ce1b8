#include "StepScheduler.h"

#include <array>
#include <random>

namespace relay_test {

thread_local StepScheduler* StepScheduler::current = nullptr;
thread_local int StepScheduler::self = -1;

StepScheduler::StepScheduler(const std::vector<std::function<void()>>& bodies)
    : turn(DRIVER), aborting(false), states(bodies.size(), State::starting), pending(bodies.size()),
      waits(bodies.size(), nullptr)
{
    for (size_t i = 0; i < bodies.size(); ++i) {
        std::unique_lock<std::mutex> lock(mutex);
        threads.emplace_back(&StepScheduler::body_thread, this, static_cast<int>(i), bodies[i]);
        turn = static_cast<int>(i);
        turn_changed.notify_all();
        turn_changed.wait(lock, [this] { return turn == DRIVER; });
    }
}

StepScheduler::~StepScheduler()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        aborting = true;
        turn_changed.notify_all();
    }
    for (std::thread& t : threads)
        t.join();
}

void StepScheduler::body_thread(int me, std::function<void()> body)
{
    current = this;
    self = me;
    {
        std::unique_lock<std::mutex> lock(mutex);
        turn_changed.wait(lock, [this, me] { return turn == me || aborting; });
        states[me] = State::running;
    }
    try {
        if (!aborting)
            body();
    } catch (const Aborted&) {
    }
    std::lock_guard<std::mutex> lock(mutex);
    states[me] = State::done;
    turn = DRIVER;
    turn_changed.notify_all();
}

void StepScheduler::hold(std::unique_lock<std::mutex>& lock, int me)
{
    states[me] = State::held;
    turn = DRIVER;
    turn_changed.notify_all();
    turn_changed.wait(lock, [this, me] { return turn == me || aborting; });
    if (aborting)
        throw Aborted();
    states[me] = State::running;
    waits[me] = nullptr;
}

void StepScheduler::step(const Step& s)
{
    if (current == nullptr)
        return;
    std::unique_lock<std::mutex> lock(current->mutex);
    current->pending[self] = s;
    current->hold(lock, self);
}

void StepScheduler::wait_until(const std::function<bool()>& ready)
{
    if (current == nullptr) {
        while (!ready())
            std::this_thread::yield();
        return;
    }
    std::unique_lock<std::mutex> lock(current->mutex);
    current->pending[self] = Step{Step::wait, false, 0};
    current->waits[self] = &ready;
    current->hold(lock, self);
}

bool StepScheduler::can_move(int t) const
{
    return states[t] == State::held && (waits[t] == nullptr || (*waits[t])());
}

bool StepScheduler::advance_one(int t)
{
    std::unique_lock<std::mutex> lock(mutex);
    if (!can_move(t))
        return false;
    turn = t;
    turn_changed.notify_all();
    turn_changed.wait(lock, [this] { return turn == DRIVER; });
    return true;
}

bool StepScheduler::advance(int t, const std::function<bool(const Step&)>& until)
{
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (states[t] == State::held && until(pending[t]))
                return true;
        }
        if (!advance_one(t))
            return false;
    }
}

StepScheduler::Outcome StepScheduler::run_randomly(uint32_t seed, uint64_t max_steps)
{
    std::mt19937 rng(seed);
    const uint32_t stay = std::array<uint32_t, 4>{0, 50, 80, 95}[seed % 4];
    int last = -1;
    for (uint64_t n = 0; n < max_steps; ++n) {
        std::vector<int> movable;
        bool all_done = true;
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (size_t i = 0; i < states.size(); ++i) {
                all_done = all_done && states[i] == State::done;
                if (can_move(static_cast<int>(i)))
                    movable.push_back(static_cast<int>(i));
            }
        }
        if (all_done)
            return Outcome::finished;
        if (movable.empty())
            return Outcome::stuck;
        int next = movable[rng() % movable.size()];
        if (last >= 0 && rng() % 100 < stay)
            for (int m : movable)
                if (m == last)
                    next = last;
        advance_one(next);
        last = next;
    }
    return Outcome::too_long;
}

}  // namespace relay_test
