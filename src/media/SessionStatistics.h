// Traffic counters of one tunnel direction. The thread forwarding the
// direction's datagrams writes them; the control thread copies them for the
// JSON statistics. Relaxed atomics: a copy may be a few datagrams behind,
// never torn.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>

namespace vexa {

struct SessionStatistics {
    std::atomic<uint64_t> packet_count{0};
    std::atomic<uint64_t> packet_bytes{0};
    std::atomic<uint64_t> imaging_count{0};
    std::atomic<uint64_t> imaging_bytes{0};
    std::atomic<uint64_t> audio_count{0};
    std::atomic<uint64_t> audio_bytes{0};
    std::atomic<uint64_t> out_of_order{0};
    std::atomic<time_t> session_start{0};      // 0 until the first datagram
    std::atomic<time_t> last_packet_time{0};
    std::atomic<uint32_t> last_sequence{0};

    SessionStatistics() = default;
    SessionStatistics(const SessionStatistics& other) { *this = other; }
    SessionStatistics& operator=(const SessionStatistics& other)
    {
        copy(packet_count, other.packet_count);
        copy(packet_bytes, other.packet_bytes);
        copy(imaging_count, other.imaging_count);
        copy(imaging_bytes, other.imaging_bytes);
        copy(audio_count, other.audio_count);
        copy(audio_bytes, other.audio_bytes);
        copy(out_of_order, other.out_of_order);
        copy(session_start, other.session_start);
        copy(last_packet_time, other.last_packet_time);
        copy(last_sequence, other.last_sequence);
        return *this;
    }

    // Single-writer increment: a load and a store, no locked instruction.
    template <class T, class U>
    static void add(std::atomic<T>& counter, U value)
    {
        counter.store(counter.load(std::memory_order_relaxed) + static_cast<T>(value),
                      std::memory_order_relaxed);
    }
    template <class T>
    static T get(const std::atomic<T>& counter)
    {
        return counter.load(std::memory_order_relaxed);
    }

private:
    template <class T>
    static void copy(std::atomic<T>& to, const std::atomic<T>& from)
    {
        to.store(from.load(std::memory_order_relaxed), std::memory_order_relaxed);
    }
};

}  // namespace vexa
