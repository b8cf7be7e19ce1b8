// A first-in first-out queue between any number of producers and one
// consumer that blocks in pop until an item arrives or the queue is
// deactivated. It is bounded by a count of items and by a budget of bytes:
// an item's bytes are held from its push until the consumer calls release
// (for a message: until its write completed), so the budget covers what is
// queued and what is being written.
//
// Threads: any thread pushes and releases; one thread pops; any thread
// deactivates. m_mutex guards m_items, m_bytes and m_active; it is a leaf
// (nothing is called while it is held), the last lock in the process's lock
// order.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <utility>

namespace vexa {

template <class T>
class concurrent_queue {
public:
    enum class push_result { pushed, inactive, full, over_budget };
    // Whether a push may take the held bytes above the budget.
    enum class budget { enforce, exceed };

    concurrent_queue(std::size_t capacity, std::size_t byte_budget)
        : m_capacity(capacity), m_byte_budget(byte_budget)
    {
    }
    concurrent_queue(const concurrent_queue&) = delete;
    concurrent_queue& operator=(const concurrent_queue&) = delete;

    // Never blocks. Unless pushed, the item stays with the caller. With
    // budget::exceed only the count bounds the push; the caller then holds
    // back further producers itself.
    push_result push(T& item, std::size_t bytes, budget mode)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_active)
                return push_result::inactive;
            if (m_items.size() >= m_capacity)
                return push_result::full;
            if (mode == budget::enforce && bytes > m_byte_budget - std::min(m_bytes, m_byte_budget))
                return push_result::over_budget;
            m_items.emplace_back(std::move(item), bytes);
            m_bytes += bytes;
        }
        m_ready.notify_one();
        return push_result::pushed;
    }

    // Waits for the front item; false once deactivated, even if items remain.
    // The item's bytes stay held until release.
    bool pop(T& out)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_ready.wait(lock, [this] { return !m_active || !m_items.empty(); });
        if (!m_active)
            return false;
        out = std::move(m_items.front().first);
        m_items.pop_front();
        return true;
    }

    // A popped item is gone: its bytes no longer count. Returns the bytes
    // still held.
    std::size_t release(std::size_t bytes)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bytes -= std::min(bytes, m_bytes);
        return m_bytes;
    }

    // Ends the queue: later pushes are refused and every waiter wakes. The
    // items still stored move out to the caller and stop counting.
    std::deque<T> deactivate()
    {
        std::deque<T> left;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_active = false;
            for (auto& entry : m_items) {
                m_bytes -= std::min(entry.second, m_bytes);
                left.push_back(std::move(entry.first));
            }
            m_items.clear();
        }
        m_ready.notify_all();
        return left;
    }

    std::size_t size() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_items.size();
    }
    // Bytes of the stored items and of the popped ones not yet released.
    std::size_t bytes() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_bytes;
    }
    std::size_t byte_budget() const { return m_byte_budget; }

private:
    const std::size_t m_capacity;
    const std::size_t m_byte_budget;
    mutable std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<std::pair<T, std::size_t>> m_items;
    std::size_t m_bytes = 0;
    bool m_active = true;
};

}  // namespace vexa
