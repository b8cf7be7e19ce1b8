#include "PacketRing.h"

#include <emmintrin.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

namespace vexa {

PacketRing::PacketRing(uint32_t slot_count, uint32_t first_index,
                       std::chrono::nanoseconds spin_time, uint32_t batch)
    : slots(slot_count),
      spin(spin_time),
      wake_batch(batch),
      ring(new std::atomic<PacketForwarder*>[slot_count]),
      take_index(first_index),
      take_line(),
      put_index(first_index),
      sleeping(false)
{
    if (slots == 0 || (uint64_t(1) << 32) % slots != 0)
        throw std::invalid_argument("PacketRing: the slot count must divide 2^32");
    if (wake_batch == 0 || (wake_batch > 1 && wake_batch >= slots))
        throw std::invalid_argument("PacketRing: the wake batch must be 1 to slots - 1");
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
    const uint32_t i = put_index.load(std::memory_order_relaxed);
    ring[i % slots].store(buffer, std::memory_order_relaxed);
    // Publishes the slot, and comes before the flag's load in the single
    // order of sequentially consistent operations (see wait_past).
    put_index.store(i + 1, std::memory_order_seq_cst);
    // The exchange lets one put post per announcement. The taker sleeps on
    // an empty ring, so what waits is what was put since it last took.
    if (sleeping.load(std::memory_order_seq_cst) &&
        (wake_batch == 1 || i + 1 - take_index.load(std::memory_order_relaxed) >= wake_batch) &&
        sleeping.exchange(false, std::memory_order_seq_cst)) {
        if (sem_post(&semaphore) != 0) {
            // Only an invalid semaphore or a count overflow fails: a broken ring.
            std::fprintf(stderr, "PacketRing: sem_post failed: %s\n", std::strerror(errno));
            std::abort();
        }
    }
}

PacketForwarder* PacketRing::take()
{
    const uint32_t i = take_index.load(std::memory_order_relaxed);
    if (put_index.load(std::memory_order_acquire) == i)
        wait_past(i);
    PacketForwarder* buffer = ring[i % slots].load(std::memory_order_relaxed);
    take_index.store(i + 1, std::memory_order_release);
    return buffer;
}

void PacketRing::wait_past(uint32_t index)
{
    using clock = std::chrono::steady_clock;
    const clock::time_point until = clock::now() + spin;
    do {
        for (int k = 0; k < 16; ++k) {
            if (put_index.load(std::memory_order_acquire) != index)
                return;
            _mm_pause();
        }
    } while (clock::now() < until);

    for (;;) {
        // Announce, then look again: a put that published before the
        // announcement is seen here, one after it sees the announcement.
        sleeping.store(true, std::memory_order_seq_cst);
        if (put_index.load(std::memory_order_seq_cst) != index)
            break;
        // A post left over from an announcement taken back below only makes
        // this round return early.
        while (sem_wait(&semaphore) != 0) {
            if (errno != EINTR) {
                std::fprintf(stderr, "PacketRing: sem_wait failed: %s\n", std::strerror(errno));
                std::abort();
            }
        }
        if (put_index.load(std::memory_order_acquire) != index)
            break;
    }
    // Taken back when the ring filled without a post, so puts stop posting.
    sleeping.store(false, std::memory_order_relaxed);
}

int PacketRing::available() const
{
    // The take index first: the put index read after it is never behind it.
    const uint32_t taken = take_index.load(std::memory_order_acquire);
    return static_cast<int>(put_index.load(std::memory_order_acquire) - taken);
}

}  // namespace vexa
