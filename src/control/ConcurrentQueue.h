// A bounded first-in first-out queue between any number of producers and
// one consumer that blocks in pop until an item arrives or the queue is
// deactivated.
//
// Threads: any thread pushes; one thread pops; any thread deactivates.
// m_mutex guards m_items and m_active; it is a leaf (nothing is called
// while it is held), the last lock in the process's lock order.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>

namespace vexa {

template <class T>
class concurrent_queue {
public:
    enum class push_result { pushed, inactive, full };

    explicit concurrent_queue(std::size_t capacity) : m_capacity(capacity) {}
    concurrent_queue(const concurrent_queue&) = delete;
    concurrent_queue& operator=(const concurrent_queue&) = delete;

    // Never blocks. On inactive or full the item stays with the caller.
    push_result push(T& item)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_active)
                return push_result::inactive;
            if (m_items.size() >= m_capacity)
                return push_result::full;
            m_items.push_back(std::move(item));
        }
        m_ready.notify_one();
        return push_result::pushed;
    }

    // Waits for the front item; false once deactivated, even if items remain.
    bool pop(T& out)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_ready.wait(lock, [this] { return !m_active || !m_items.empty(); });
        if (!m_active)
            return false;
        out = std::move(m_items.front());
        m_items.pop_front();
        return true;
    }

    // Ends the queue: later pushes are refused and every waiter wakes. The
    // items still stored move out to the caller.
    std::deque<T> deactivate()
    {
        std::deque<T> left;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_active = false;
            left.swap(m_items);
        }
        m_ready.notify_all();
        return left;
    }

    std::size_t size() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_items.size();
    }

private:
    const std::size_t m_capacity;
    mutable std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<T> m_items;
    bool m_active = true;
};

}  // namespace vexa
