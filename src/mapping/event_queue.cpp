#include "mapping/event_queue.h"

#include <algorithm>
#include <iterator>

namespace lumesk::mapping {

int EngineEventQueue::deliver(const EngineEvent& event) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        events_.push_back(event);
        if (events_.size() > capacity_) {
            events_.pop_front();
            ++dropped_;
            ++droppedTotal_;
        }
        peak_ = std::max(peak_, events_.size());
        wake = !wakePending_;
        wakePending_ = true;
    }
    if (wake && onWake) onWake();
    return 0;
}

EngineEventQueue::Batch EngineEventQueue::take(std::size_t max) {
    Batch batch;
    std::lock_guard<std::mutex> hold(mutex_);
    const std::size_t n = std::min(max, events_.size());
    batch.events.assign(std::make_move_iterator(events_.begin()),
                        std::make_move_iterator(events_.begin() + static_cast<std::ptrdiff_t>(n)));
    events_.erase(events_.begin(), events_.begin() + static_cast<std::ptrdiff_t>(n));
    batch.dropped = dropped_;
    dropped_ = 0;
    batch.more = !events_.empty();
    // Idle again only once empty: until then the taker keeps taking.
    if (!batch.more) wakePending_ = false;
    return batch;
}

std::size_t EngineEventQueue::size() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return events_.size();
}

std::size_t EngineEventQueue::peakSize() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return peak_;
}

std::uint64_t EngineEventQueue::droppedTotal() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return droppedTotal_;
}

}  // namespace lumesk::mapping
