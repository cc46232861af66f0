// The engine's events on their way to the window. Workers push and never
// wait; the window's thread takes them later, in the order they were pushed.
// A window in a modal loop (a message box, a menu, a move) takes nothing for
// as long as the loop runs, so the queue is bounded: past `capacity` the
// oldest events go, and the taker is told how many, to rebuild from the
// table what they would have changed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "mapping/engine.h"

namespace lumesk::mapping {

class EngineEventQueue {
  public:
    // About 10 MB of events at most: a few minutes of 1000 connections a
    // second, far more than the 1000 log lines the window keeps.
    static constexpr std::size_t kDefaultCapacity = 50000;

    explicit EngineEventQueue(std::size_t capacity = kDefaultCapacity) : capacity_(capacity) {}

    // Runs on the pushing thread, outside the queue's lock, when the queue
    // turns from idle to holding events: the taker must schedule a take. It
    // is not run again until a take has emptied the queue.
    std::function<void()> onWake;

    // Any thread; never blocks beyond the queue's own short lock.
    int deliver(const EngineEvent& event);

    struct Batch {
        std::vector<EngineEvent> events;
        std::uint64_t dropped = 0;  // older events that went before these
        bool more = false;          // events remain: take again (no wake comes)
    };
    Batch take(std::size_t max);

    std::size_t size() const;
    std::size_t peakSize() const;
    std::uint64_t droppedTotal() const;

  private:
    mutable std::mutex mutex_;
    std::deque<EngineEvent> events_;
    const std::size_t capacity_;
    std::uint64_t dropped_ = 0;
    std::uint64_t droppedTotal_ = 0;
    std::size_t peak_ = 0;
    bool wakePending_ = false;
};

}  // namespace lumesk::mapping
