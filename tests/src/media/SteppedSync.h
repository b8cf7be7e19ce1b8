// The synchronisation of a PacketRing under a StepScheduler: every atomic
// access and semaphore operation is a step at which another thread may run.
// The scheduler lets one thread run at a time, so the semaphore's count
// needs no atomic of its own.
//
// Threads: those of a StepScheduler run, one at a time.
#pragma once

#include "StepScheduler.h"

#include <atomic>
#include <cstdint>
#include <type_traits>

namespace relay_test {

struct SteppedSync {
    template <class T>
    class atomic {
    public:
        atomic() : value() {}
        atomic(T v) : value(v) {}
        atomic(const atomic&) = delete;
        atomic& operator=(const atomic&) = delete;

        T load(std::memory_order order = std::memory_order_seq_cst) const
        {
            StepScheduler::step({StepScheduler::Step::load, FLAG, 0});
            return value.load(order);
        }
        void store(T v, std::memory_order order = std::memory_order_seq_cst)
        {
            StepScheduler::step({StepScheduler::Step::store, FLAG, as_value(v)});
            value.store(v, order);
        }
        T exchange(T v, std::memory_order order = std::memory_order_seq_cst)
        {
            StepScheduler::step({StepScheduler::Step::exchange, FLAG, as_value(v)});
            return value.exchange(v, order);
        }

    private:
        static constexpr bool FLAG = std::is_same<T, bool>::value;
        template <class U>
        static uint64_t as_value(U* v)
        {
            return reinterpret_cast<uintptr_t>(v);
        }
        template <class U>
        static uint64_t as_value(U v)
        {
            return static_cast<uint64_t>(v);
        }

        std::atomic<T> value;
    };

    class Semaphore {
    public:
        void post()
        {
            StepScheduler::step({StepScheduler::Step::post, false, 0});
            ++count;
        }
        void wait()
        {
            StepScheduler::wait_until([this] { return count > 0; });
            --count;
        }

    private:
        int count = 0;
    };

    static void pause() {}
};

}  // namespace relay_test
