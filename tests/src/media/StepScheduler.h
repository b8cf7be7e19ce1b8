// Runs a few threads one step at a time, so a test can choose or draw the
// interleaving of code built on SteppedSync: each thread runs to its next
// step (an atomic access, a semaphore operation or a mark of the test's own)
// and is held there, its pending step on view, until the test's thread lets
// it take that step. advance() drives one thread to a chosen step;
// run_randomly() draws the rest from a seed, including how often the thread
// that just moved moves again (from every step a switch to long runs of one
// thread). A thread waiting on a semaphore cannot move until a post lets it.
// A run ends when every thread has returned, when no thread can move
// (stuck: a wake-up was lost or a buffer never came back), or after a step
// limit.
//
// Threads: the test's thread and the run's threads pass one baton (mutex,
// condition variable); whoever holds it runs, so what they share needs no
// other lock.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace relay_test {

class StepScheduler {
public:
    struct Step {
        enum Kind { load, store, exchange, post, wait, mark } kind;
        bool on_flag;    // an atomic<bool>
        uint64_t value;  // what a store or an exchange writes; a mark's tag
    };
    enum class Outcome { finished, stuck, too_long };

    // Starts each body on a thread of its own, held at its first step.
    explicit StepScheduler(const std::vector<std::function<void()>>& bodies);
    // Threads still held are ended by an exception thrown from their step.
    ~StepScheduler();
    StepScheduler(const StepScheduler&) = delete;
    StepScheduler& operator=(const StepScheduler&) = delete;

    // Lets thread t take steps until its pending step satisfies until (not
    // taken). False when it returned or cannot move first.
    bool advance(int t, const std::function<bool(const Step&)>& until);
    // Lets thread t take its pending step; false when it cannot.
    bool advance_one(int t);
    Outcome run_randomly(uint32_t seed, uint64_t max_steps = 100000);

    // A step of the calling thread; nothing outside a run.
    static void step(const Step& s);
    // A semaphore's wait: the thread cannot move while ready() is false.
    static void wait_until(const std::function<bool()>& ready);
    static void mark(uint64_t tag) { step(Step{Step::mark, false, tag}); }

private:
    enum class State { starting, held, running, done };
    struct Aborted {};
    static constexpr int DRIVER = -1;

    bool can_move(int t) const;
    void body_thread(int me, std::function<void()> body);
    void hold(std::unique_lock<std::mutex>& lock, int me);

    static thread_local StepScheduler* current;
    static thread_local int self;

    std::mutex mutex;
    std::condition_variable turn_changed;
    int turn;
    bool aborting;
    std::vector<State> states;
    std::vector<Step> pending;
    std::vector<const std::function<bool()>*> waits;
    std::vector<std::thread> threads;
};

}  // namespace relay_test
