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
// Sync supplies the atomics, the semaphore and the spin hint (SystemSync in
// the relay); PacketRing is the relay's ring.
//
// Threads: one putting thread (the put index, the slots) and one taking
// thread (the take index); the put index publishes the slots, the sleeping
// flag and the semaphore carry the wake-up, and taker_idle lets the putter
// see that the taker has finished with everything it took.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>

namespace vexa {

class PacketForwarder;

template <class Sync>
class BasicPacketRing {
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
    explicit BasicPacketRing(uint32_t slots, uint32_t first_index = 0,
                             std::chrono::nanoseconds spin = DEFAULT_SPIN, uint32_t wake_batch = 1);

    BasicPacketRing(const BasicPacketRing&) = delete;
    BasicPacketRing& operator=(const BasicPacketRing&) = delete;

    void put(PacketForwarder* buffer);
    // Waits for a buffer (spinning briefly first).
    PacketForwarder* take();
    // How many buffers wait in the ring.
    int available() const;

    // Putting thread only. True when the taker has taken every buffer put
    // and has announced its sleep: it has finished with all it took (it
    // announces only inside take, after its work on the previous buffer)
    // and takes nothing until this thread puts again, as only a put can
    // wake it. The putter may then do the taker's work itself.
    // Ordering: the take index is loaded first (acquire), the flag after it
    // (acquire). A taker that announces, then finds a buffer and takes the
    // announcement back clears the flag before it stores the take index
    // past that buffer; a take index that shows the ring empty therefore
    // comes after any such take-back, and a flag still set after it is an
    // announcement made once the taker was done, whose acquire also makes
    // the taker's work visible here. Loaded the other way round, a flag
    // about to be taken back could be read just before the taker takes the
    // buffer it found, and both threads would work at once. (A relaxed look
    // at the flag comes before both, so that a busy taker's take index is
    // not read at all; a flag seen clear there only means "not idle", which
    // is always safe.)
    bool taker_idle() const;

private:
    using index_t = typename Sync::template atomic<uint32_t>;
    using slot_t = typename Sync::template atomic<PacketForwarder*>;

    // Returns once the put index has moved past index.
    void wait_past(uint32_t index);

    const uint32_t slots;
    const std::chrono::nanoseconds spin;
    const uint32_t wake_batch;
    std::unique_ptr<slot_t[]> ring;
    index_t take_index;
    // A cache line apart: the taker's index stores must not take the line
    // the putter stores and loads on every put.
    char take_line[64];
    index_t put_index;
    typename Sync::template atomic<bool> sleeping;
    typename Sync::Semaphore semaphore;
};

template <class Sync>
BasicPacketRing<Sync>::BasicPacketRing(uint32_t slot_count, uint32_t first_index,
                                       std::chrono::nanoseconds spin_time, uint32_t batch)
    : slots(slot_count),
      spin(spin_time),
      wake_batch(batch),
      ring(new slot_t[slot_count]),
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
}

template <class Sync>
void BasicPacketRing<Sync>::put(PacketForwarder* buffer)
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
        sleeping.exchange(false, std::memory_order_seq_cst))
        semaphore.post();
}

template <class Sync>
PacketForwarder* BasicPacketRing<Sync>::take()
{
    const uint32_t i = take_index.load(std::memory_order_relaxed);
    if (put_index.load(std::memory_order_acquire) == i)
        wait_past(i);
    PacketForwarder* buffer = ring[i % slots].load(std::memory_order_relaxed);
    take_index.store(i + 1, std::memory_order_release);
    return buffer;
}

template <class Sync>
void BasicPacketRing<Sync>::wait_past(uint32_t index)
{
    using clock = std::chrono::steady_clock;
    const clock::time_point until = clock::now() + spin;
    do {
        for (int k = 0; k < 16; ++k) {
            if (put_index.load(std::memory_order_acquire) != index)
                return;
            Sync::pause();
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
        semaphore.wait();
        if (put_index.load(std::memory_order_acquire) != index)
            break;
    }
    // Taken back when the ring filled without a post, so puts stop posting;
    // before take stores the take index (see taker_idle).
    sleeping.store(false, std::memory_order_relaxed);
}

template <class Sync>
int BasicPacketRing<Sync>::available() const
{
    // The take index first: the put index read after it is never behind it.
    const uint32_t taken = take_index.load(std::memory_order_acquire);
    return static_cast<int>(put_index.load(std::memory_order_acquire) - taken);
}

template <class Sync>
bool BasicPacketRing<Sync>::taker_idle() const
{
    // Keeps a busy taker's take index line in its own cache.
    if (!sleeping.load(std::memory_order_relaxed))
        return false;
    if (take_index.load(std::memory_order_acquire) != put_index.load(std::memory_order_relaxed))
        return false;
    return sleeping.load(std::memory_order_acquire);
}

}  // namespace vexa
