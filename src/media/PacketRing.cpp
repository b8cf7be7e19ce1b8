#include "PacketRing.h"

#include <emmintrin.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

namespace vexa {

PacketRing::PacketRing(uint32_t slot_count, uint32_t first_index)
    : slots(slot_count),
      ring(new std::atomic<PacketForwarder*>[slot_count]),
      take_index(first_index),
      put_index(first_index)
{
    if (slots == 0 || (uint64_t(1) << 32) % slots != 0)
        throw std::invalid_argument("PacketRing: the slot count must divide 2^32");
    for (uint32_t i = 0; i < slots; ++i)
        ring[i].store(nullptr, std::memory_order_relaxed);
    if (sem_init(&semaphore, 0, 0) != 0)
        throw std::runtime_error(std::string("PacketRing: sem_init failed: ") + std::strerror(errno));
}

PacketRing::~PacketRing()
{
    sem_destroy(&semaphore);
}

void PacketRing::put(PacketForwarder* buffer)
{
    const uint32_t i = put_index.fetch_add(1, std::memory_order_relaxed);
    ring[i % slots].store(buffer, std::memory_order_release);
    if (sem_post(&semaphore) != 0) {
        // Only an invalid semaphore or a count overflow fails: a broken ring.
        std::fprintf(stderr, "PacketRing: sem_post failed: %s\n", std::strerror(errno));
        std::abort();
    }
}

PacketForwarder* PacketRing::take()
{
    // Under load the next buffer is usually a few microseconds away: a short
    // spin saves the futex sleep and wake-up that sem_wait would cost on both
    // sides (sem_post makes no system call while nobody sleeps).
    for (int i = 0; i < SPIN_TRIES; ++i) {
        if (sem_trywait(&semaphore) == 0)
            return next();
        _mm_pause();
    }
    while (sem_wait(&semaphore) != 0) {
        if (errno != EINTR) {
            std::fprintf(stderr, "PacketRing: sem_wait failed: %s\n", std::strerror(errno));
            std::abort();
        }
    }
    return next();
}

PacketForwarder* PacketRing::next()
{
    const uint32_t i = take_index.fetch_add(1, std::memory_order_relaxed);
    return ring[i % slots].load(std::memory_order_acquire);
}

int PacketRing::available() const
{
    int value = 0;
    sem_getvalue(&semaphore, &value);
    return value;
}

}  // namespace vexa
