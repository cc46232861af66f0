#include "mapping/relay_watch.h"

#include <system_error>
#include <vector>

namespace lumesk::mapping {

using net::IoRecord;

RelayWatch::RelayWatch(net::ServiceContext& context, std::function<void(IoRecord*)> close)
    : ctx_(context), close_(std::move(close)) {
    start();
}

RelayWatch::~RelayWatch() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
    for (auto& entry : connecting_) ctx_.releaseRecord(entry.first);
    for (auto& entry : flushing_) ctx_.releaseRecord(entry.first);
}

void RelayWatch::start() {
    // Started up front: a thread may not be to be had when the first connect
    // comes, in a process that has run out.
    try {
        if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        // Tried again at the next connect.
    }
}

void RelayWatch::watchConnect(IoRecord* relay, std::chrono::milliseconds bound) {
    ctx_.retain(relay);
    bool sooner = false;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        const auto deadline = std::chrono::steady_clock::now() + bound;
        connecting_[relay] = {deadline, false};
        sooner = deadline < watchUntil_;
        if (sooner) watchUntil_ = deadline;
        start();
    }
    if (sooner) changed_.notify_all();
}

bool RelayWatch::connectEnded(IoRecord* relay) {
    bool timedOut = false;
    bool watched = false;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        const auto it = connecting_.find(relay);
        if (it != connecting_.end()) {
            watched = true;
            timedOut = it->second.timedOut;
            connecting_.erase(it);
        }
    }
    if (watched) ctx_.releaseRecord(relay);
    return timedOut;
}

void RelayWatch::flushing(IoRecord* relay, int n) {
    std::lock_guard<std::mutex> hold(mutex_);
    // Closed first, then let go (flushEnded): a closed relay is never added.
    if (!relay->socketClosed.load() && flushing_.emplace(relay, n).second) ctx_.retain(relay);
}

void RelayWatch::flushEnded(IoRecord* relay) {
    bool held = false;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        held = flushing_.erase(relay) > 0;
    }
    if (held) ctx_.releaseRecord(relay);
}

void RelayWatch::forFlushing(int n, const std::function<void(IoRecord*)>& each) {
    std::lock_guard<std::mutex> hold(mutex_);
    for (auto& [relay, mapping] : flushing_) {
        if (mapping == n) each(relay);
    }
}

void RelayWatch::run() {
    std::unique_lock<std::mutex> hold(mutex_);
    while (!stopping_) {
        const auto now = std::chrono::steady_clock::now();
        auto next = now + std::chrono::hours(1);
        std::vector<IoRecord*> expired;
        for (auto& [relay, entry] : connecting_) {
            if (entry.timedOut) continue;
            if (entry.deadline <= now) {
                entry.timedOut = true;
                ctx_.retain(relay);  // the entry may go while we close it
                expired.push_back(relay);
            } else {
                next = std::min(next, entry.deadline);
            }
        }
        if (!expired.empty()) {
            hold.unlock();
            for (IoRecord* relay : expired) {
                close_(relay);
                ctx_.releaseRecord(relay);
            }
            hold.lock();
            continue;
        }
        watchUntil_ = next;
        changed_.wait_until(hold, next);
    }
}

}  // namespace lumesk::mapping
