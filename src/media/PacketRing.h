// A ring of datagram buffer pointers handed from one thread to another: put
// stores at the next slot and then publishes the put index; take reads the
// slot once the put index has passed it. The semaphore only wakes a taker
// that sleeps: an empty ring makes take spin briefly, then announce that it
// is about to sleep, look at the ring once more and only then wait on the
// semaphore; put posts only when it sees that announcement (and, with a wake
// batch, only once that many buffers wait). Each side stores (index,
// announcement) before it loads the other's, all sequentially consistent,
// so at least one of them sees the other: no wake-up is lost and a busy ring
// costs no semaphore operation. The 32-bit indexes wrap; the slot count
// divides 2^32 so the slot sequence stays continuous. The ring never holds
// more pointers than its slot count because fewer buffers than slots
// circulate.
//
// Threads: one putting thread (the put index, the slots) and one taking
// thread (the take index); the put index publishes the slots, the sleeping
// flag and the semaphore carry the wake-up.
#pragma once

#include <semaphore.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

namespace vexa {

class PacketForwarder;

class PacketRing {
public:
    // How long take polls an empty ring before it sleeps: long enough for
    // the next datagram of a burst (a receive, 1 to 2 us, away), no longer,
    // as at steady rates every microsecond of spin is a microsecond of CPU
    // per datagram while the gap still ends in a sleep.
    static constexpr std::chrono::nanoseconds DEFAULT_SPIN{3000};

    // first_index: where both indexes start (tests start them near 2^32).
    // wake_batch: how many buffers must wait before a sleeping taker is
    // woken, 1 or up to slots - 1; more than 1 only where that many are sure
    // to be put once the taker sleeps (a pool's free ring: every buffer the
    // receive thread does not hold comes back to it).
    explicit PacketRing(uint32_t slots, uint32_t first_index = 0,
                        std::chrono::nanoseconds spin = DEFAULT_SPIN, uint32_t wake_batch = 1);
    ~PacketRing();

    PacketRing(const PacketRing&) = delete;
    PacketRing& operator=(const PacketRing&) = delete;

    void put(PacketForwarder* buffer);
    // Waits for a buffer (spinning briefly first); retries when a signal
    // interrupts the wait.
    PacketForwarder* take();
    // How many buffers wait in the ring.
    int available() const;

private:
    // Returns once the put index has moved past index.
    void wait_past(uint32_t index);

    const uint32_t slots;
    const std::chrono::nanoseconds spin;
    const uint32_t wake_batch;
    std::unique_ptr<std::atomic<PacketForwarder*>[]> ring;
    std::atomic<uint32_t> take_index;
    // A cache line apart: the taker's index stores must not take the line
    // the putter stores and loads on every put.
    char take_line[64];
    std::atomic<uint32_t> put_index;
    std::atomic<bool> sleeping;
    sem_t semaphore;
};

}  // namespace vexa
