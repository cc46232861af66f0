// The relays the engine keeps an eye on with a thread of its own: those whose
// connect is under way, each with its deadline, and those left to send what
// their gone clients sent, until they close. A proxy client waits here for
// its request the same way, closed at its deadline as a relay would be.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "net/service.h"

namespace lumesk::mapping {

class RelayWatch {
  public:
    // `close` closes a relay whose connect is past its deadline; the connect
    // then fails through the port.
    RelayWatch(net::ServiceContext& context, std::function<void(net::IoRecord*)> close);
    ~RelayWatch();
    RelayWatch(const RelayWatch&) = delete;
    RelayWatch& operator=(const RelayWatch&) = delete;

    // Before the connect is posted: it may end at once. Holds a reference.
    void watchConnect(net::IoRecord* relay, std::chrono::milliseconds bound);
    // The connect ended: true when it was timed out (closed by the watch, or
    // about to be).
    bool connectEnded(net::IoRecord* relay);

    // A relay whose client has left flushes on; `n` is its mapping. A relay
    // already closed is not taken. Holds a reference until flushEnded.
    void flushing(net::IoRecord* relay, int n);
    void flushEnded(net::IoRecord* relay);
    // Calls `each` for the flushing relays of mapping n (its stop).
    void forFlushing(int n, const std::function<void(net::IoRecord*)>& each);

  private:
    void start();  // under mutex_, or before any connect
    void run();

    struct Connecting {
        std::chrono::steady_clock::time_point deadline;
        bool timedOut = false;
    };
    net::ServiceContext& ctx_;
    std::function<void(net::IoRecord*)> close_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<net::IoRecord*, Connecting> connecting_;
    // When the thread looks next: a connect due no sooner needs no wake-up
    // (all share one bound, so only the first of a quiet spell wakes it).
    std::chrono::steady_clock::time_point watchUntil_{};
    std::map<net::IoRecord*, int> flushing_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace lumesk::mapping
