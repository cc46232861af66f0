// The housekeeping thread: bounded flushes and half-closed pairs, a paused
// receive's next look, accept back-offs, and the heap given back once the
// service has gone quiet.
#include "net/housekeeping.h"

#include <algorithm>
#include <system_error>

#include "net/service.h"

namespace lumesk::net {

namespace {

constexpr auto kQuietLook = std::chrono::seconds(2);  // a heap still for this long is quiet

// Entries waiting for a time: those due leave the list for `out`.
template <typename List, typename TimePoint>
void takeDue(List& list, TimePoint now, TimePoint& next, std::vector<IoRecord*>& out) {
    for (auto it = list.begin(); it != list.end();) {
        if (it->due <= now) {
            out.push_back(it->record);
            it = list.erase(it);
        } else {
            next = std::min(next, it->due);
            ++it;
        }
    }
}

}  // namespace

Housekeeping::~Housekeeping() {
    stop();
}

void Housekeeping::start() {
    std::lock_guard<std::mutex> hold(mutex_);
    if (thread_.joinable() || stopping_) return;
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        // Tried again at the next need.
    }
}

void Housekeeping::stop() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
    for (const Drain& d : drains_) ctx_.releaseRecord(d.record);
    for (const Due& r : retries_) ctx_.releaseRecord(r.record);
    for (const Due& l : looks_) ctx_.releaseRecord(l.record);
    for (const HalfClose& h : halfCloses_) {
        ctx_.releaseRecord(h.record);
        ctx_.releaseRecord(h.partner);
    }
    drains_.clear();
    retries_.clear();
    looks_.clear();
    halfCloses_.clear();
}

template <typename Add>
void Housekeeping::enter(Add add) {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        add(Clock::now());
    }
    start();
    changed_.notify_all();
}

void Housekeeping::boundFlush(IoRecord* record) {
    ctx_.retain(record);
    const std::int64_t sent = readBytes(record, 1);
    enter([&](Clock::time_point now) { drains_.push_back({record, sent, now}); });
}

void Housekeeping::boundHalfClose(IoRecord* record, IoRecord* partner) {
    ctx_.retain(record);
    ctx_.retain(partner);
    enter([&](Clock::time_point now) { halfCloses_.push_back({record, partner, -1, now}); });
}

void Housekeeping::lookAgain(IoRecord* record) {
    ctx_.retain(record);
    const auto after = ctx_.pausedLook.load();
    enter([&](Clock::time_point now) { looks_.push_back({record, now + after}); });
}

void Housekeeping::retryAccept(IoRecord* listener) {
    ctx_.retain(listener);
    const auto after = ctx_.acceptBackoff.load();
    enter([&](Clock::time_point now) { retries_.push_back({listener, now + after}); });
}

void Housekeeping::sweepHalfCloses(Clock::time_point now, Clock::time_point& next, Work& work) {
    const std::chrono::milliseconds bound = ctx_.halfCloseBound.load();
    for (auto it = halfCloses_.begin(); it != halfCloses_.end();) {
        IoRecord* a = it->record;
        IoRecord* b = it->partner;
        const std::int64_t moved =
            readBytes(a, 0) + readBytes(a, 1) + readBytes(b, 0) + readBytes(b, 1);
        if (moved != it->moved) {
            it->moved = moved;
            it->progress = now;
        }
        if (a->socketClosed.load() || b->socketClosed.load()) {
            // Closing already, the flush bound included.
            work.release.push_back(a);
            work.release.push_back(b);
        } else if (now - it->progress >= bound) {
            work.close.push_back(a);
            work.close.push_back(b);
        } else {
            next = std::min(next, it->progress + bound);
            ++it;
            continue;
        }
        it = halfCloses_.erase(it);
    }
}

void Housekeeping::sweepDrains(Clock::time_point now, Clock::time_point& next, Work& work) {
    const std::chrono::milliseconds bound = ctx_.flushBound.load();
    for (auto it = drains_.begin(); it != drains_.end();) {
        const std::int64_t sent = readBytes(it->record, 1);
        if (sent != it->sent) {
            it->sent = sent;
            it->progress = now;
        }
        if (it->record->socketClosed.load()) {
            work.release.push_back(it->record);
        } else if (now - it->progress >= bound) {
            work.close.push_back(it->record);
        } else {
            next = std::min(next, it->progress + bound);
            ++it;
            continue;
        }
        it = drains_.erase(it);
    }
}

// A heap whose block count has stood still for a while has gone quiet: what
// it kept after a load goes back to the system, once.
void Housekeeping::compactWhenQuiet(std::unique_lock<std::mutex>& hold, Clock::time_point now) {
    if (now < nextQuietLook_) return;
    const std::size_t live = ctx_.heap.liveBlocks();
    if (live != quietLive_) {
        quietLive_ = live;
        compacted_ = false;
    } else if (!compacted_) {
        compacted_ = true;
        hold.unlock();
        ctx_.heap.compact();
        hold.lock();
    }
    nextQuietLook_ = now + kQuietLook;
}

void Housekeeping::doWork(const Work& work) {
    for (IoRecord* record : work.close) {
        ctx_.closeSocketOf(record);
        ctx_.releaseRecord(record);
    }
    for (IoRecord* record : work.release) ctx_.releaseRecord(record);
    for (IoRecord* record : work.look) {
        if (ctx_.stillPausedForDrain(record)) ctx_.watchPeer(record);
        ctx_.releaseRecord(record);
    }
    for (IoRecord* listener : work.repost) {
        int code = 0;
        if (!listener->socketClosed.load() && !ctx_.postAccept(listener, &code)) {
            ctx_.acceptFailed(listener, code);
        }
        ctx_.releaseRecord(listener);
    }
}

void Housekeeping::run() {
    std::unique_lock<std::mutex> hold(mutex_);
    nextQuietLook_ = Clock::now() + kQuietLook;
    while (!stopping_) {
        const Clock::time_point now = Clock::now();
        Clock::time_point next = now + std::chrono::hours(1);
        Work work;
        sweepHalfCloses(now, next, work);
        takeDue(looks_, now, next, work.look);
        sweepDrains(now, next, work);
        takeDue(retries_, now, next, work.repost);
        compactWhenQuiet(hold, now);
        next = std::min(next, nextQuietLook_);
        if (work.empty()) {
            // Progress is looked at now and then, not at every send.
            auto lookAgainWithin = [&](bool watching, Clock::duration within) {
                const auto every = std::min<Clock::duration>(within / 4, std::chrono::seconds(1));
                if (watching) next = std::min(next, now + every + std::chrono::milliseconds(1));
            };
            lookAgainWithin(!drains_.empty(), ctx_.flushBound.load());
            lookAgainWithin(!halfCloses_.empty(), ctx_.halfCloseBound.load());
            changed_.wait_until(hold, next);
            continue;
        }
        hold.unlock();
        doWork(work);
        hold.lock();
    }
}

}  // namespace lumesk::net
