// What a PacketRing synchronises with in the relay: std::atomic, a POSIX
// semaphore and the processor's spin-wait hint. A ring takes it as a type
// parameter so that its protocol can also be run under a scheduler that
// chooses the interleaving.
//
// Threads: a semaphore is posted by one thread and waited on by another;
// the semaphore itself orders them.
#pragma once

#include <emmintrin.h>
#include <semaphore.h>

#include <atomic>

namespace vexa {

struct SystemSync {
    template <class T>
    using atomic = std::atomic<T>;

    class Semaphore {
    public:
        Semaphore();
        ~Semaphore();
        Semaphore(const Semaphore&) = delete;
        Semaphore& operator=(const Semaphore&) = delete;

        // Only an invalid semaphore or a count overflow fails: a broken ring
        // aborts the process.
        void post();
        // Retries when a signal interrupts the wait.
        void wait();

    private:
        sem_t semaphore;
    };

    static void pause() { _mm_pause(); }
};

}  // namespace vexa
