// The service's housekeeping thread: what waits for a time or for progress
// that stops. One thread for both instances; nothing here runs on a worker.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "net/records.h"

namespace lumesk::net {

class ServiceContext;

class Housekeeping {
  public:
    explicit Housekeeping(ServiceContext& context) : ctx_(context) {}
    ~Housekeeping();
    Housekeeping(const Housekeeping&) = delete;
    Housekeeping& operator=(const Housekeeping&) = delete;

    // Starts the thread unless it runs (WnSocketService::start does, while
    // threads are to be had); each entry below starts it otherwise.
    void start();
    // Ends the thread and drops what it holds (the service's tear-down).
    void stop();

    // Each entry holds its records until it is done with them.
    // A closing connection's sends: closed unsent if they make no progress
    // for the context's flushBound.
    void boundFlush(IoRecord* record);
    // One direction of the pair has ended: both close after halfCloseBound
    // with nothing moved either way.
    void boundHalfClose(IoRecord* record, IoRecord* partner);
    // A paused receive whose watch found bytes waiting: the watch is posted
    // again after pausedLook, if the receive is still paused then.
    void lookAgain(IoRecord* record);
    // A listener's failed accept, posted again after acceptBackoff.
    void retryAccept(IoRecord* listener);

  private:
    using Clock = std::chrono::steady_clock;
    struct Drain {
        IoRecord* record;
        std::int64_t sent;
        Clock::time_point progress;
    };
    struct HalfClose {
        IoRecord* record;  // whose input ended
        IoRecord* partner;
        std::int64_t moved;
        Clock::time_point progress;
    };
    struct Due {
        IoRecord* record;
        Clock::time_point due;
    };
    // What one round found to do, done with the lock released.
    struct Work {
        std::vector<IoRecord*> close;
        std::vector<IoRecord*> release;
        std::vector<IoRecord*> look;
        std::vector<IoRecord*> repost;
        bool empty() const {
            return close.empty() && release.empty() && look.empty() && repost.empty();
        }
    };

    template <typename Add>
    void enter(Add add);
    void run();
    void sweepHalfCloses(Clock::time_point now, Clock::time_point& next, Work& work);
    void sweepDrains(Clock::time_point now, Clock::time_point& next, Work& work);
    void compactWhenQuiet(std::unique_lock<std::mutex>& hold, Clock::time_point now);
    void doWork(const Work& work);

    ServiceContext& ctx_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Drain> drains_;
    std::vector<HalfClose> halfCloses_;
    std::vector<Due> looks_;
    std::vector<Due> retries_;
    bool stopping_ = false;
    std::thread thread_;  // started with the first need
    // The heap's quiet look: its block count at the last look, and whether
    // it has been given back since it last changed.
    Clock::time_point nextQuietLook_{};
    std::size_t quietLive_ = 0;
    bool compacted_ = true;  // nothing to give back before any load
};

}  // namespace lumesk::net
