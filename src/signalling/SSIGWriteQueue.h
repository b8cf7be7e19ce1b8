// The outbound frames of one signalling leg, first in first out: one write
// at a time, each frame owned until its write completes, each with its own
// completion. The leg starts the write of front() and, when it completes,
// pop()s the entry, runs the entry's completion and writes the next front.
//
// Threads: owned by one leg and used on its strand only; no lock.
#pragma once

#include "SSIGLegTypes.h"
#include "SSIGPacket.h"

#include <cstddef>
#include <deque>
#include <memory>

namespace vexa {

class SSIGWriteQueue {
public:
    struct Entry {
        std::unique_ptr<ssig::SSIGPacket> frame;
        // Empty when the writer asked for none (logged as "no write handler").
        ssig_complete_handler_t completion;
    };

    // Appends a frame; true when nothing was queued before, so the caller
    // writes front() now (when it may write at all).
    bool push(std::unique_ptr<ssig::SSIGPacket> frame, ssig_complete_handler_t completion);
    // The frame whose write is in progress or next.
    ssig::SSIGPacket& front() { return *m_entries.front().frame; }
    // Takes the front entry off once its write completed.
    Entry pop();
    // Takes every entry off (a connection that will never write them).
    std::deque<Entry> take_all();

    bool empty() const { return m_entries.empty(); }
    std::size_t size() const { return m_entries.size(); }

private:
    std::deque<Entry> m_entries;
};

}  // namespace vexa
