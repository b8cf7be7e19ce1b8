// A ring of datagram buffer pointers handed from one thread to another: put
// stores at the next slot and posts the semaphore, take waits on it and reads
// the next slot. The 32-bit indexes wrap; the slot count divides 2^32 so the
// slot sequence stays continuous. The ring never holds more pointers than its
// slot count because fewer buffers than slots circulate.
//
// Threads: one putting thread and one taking thread; the semaphore orders
// them (and the slots are atomics as well).
#pragma once

#include <semaphore.h>

#include <atomic>
#include <cstdint>
#include <memory>

namespace vexa {

class PacketForwarder;

class PacketRing {
public:
    // first_index: where both indexes start (tests start them near 2^32).
    explicit PacketRing(uint32_t slots, uint32_t first_index = 0);
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
    static constexpr int SPIN_TRIES = 256;

    PacketForwarder* next();

    const uint32_t slots;
    std::unique_ptr<std::atomic<PacketForwarder*>[]> ring;
    std::atomic<uint32_t> take_index;
    std::atomic<uint32_t> put_index;
    mutable sem_t semaphore;
};

}  // namespace vexa
