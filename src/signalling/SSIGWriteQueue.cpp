#include "SSIGWriteQueue.h"

#include <utility>

namespace vexa {

bool SSIGWriteQueue::push(std::unique_ptr<ssig::SSIGPacket> frame, ssig_complete_handler_t completion)
{
    const bool was_idle = m_entries.empty();
    m_entries.push_back(Entry{std::move(frame), std::move(completion)});
    return was_idle;
}

SSIGWriteQueue::Entry SSIGWriteQueue::pop()
{
    Entry e = std::move(m_entries.front());
    m_entries.pop_front();
    return e;
}

std::deque<SSIGWriteQueue::Entry> SSIGWriteQueue::take_all()
{
    std::deque<Entry> all;
    all.swap(m_entries);
    return all;
}

}  // namespace vexa
