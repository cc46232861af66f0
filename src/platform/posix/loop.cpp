// The event loop under the completion ports: one epoll set and one
// completion queue, shared by the ports made to share it. Their workers share
// it leader/follower style: one waiter at a time sits in epoll_wait and
// serves the ready sockets itself (with the handler port.cpp hands in), the
// others sleep in the loop until a packet is theirs. Who is woken for what is
// decided here, and only here; docs/architecture.md ("Who is woken") says it
// in words.
#include "platform/posix/loop.h"

#include <sched.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>

namespace lumesk::platform {
namespace posix {
namespace {

constexpr auto kStandbyInterval = std::chrono::milliseconds(2);
// Packets left in the queue, besides the one a worker takes, before it wakes
// another to help: a few are done sooner than a wake-up and a sleep take, and
// a thread busy for longer is relieved by the standby anyway. At 4, a relay
// opening and closing connections woke a helper for most polls and spent a
// tenth more CPU per connection, for no more connections a second.
constexpr std::size_t kShareAt = 16;
// Quiet packets taken before others once this many wait.
constexpr std::size_t kQuietBacklog = 64;

thread_local Loop* tlsPolling = nullptr;
// The loop whose packet this thread took last: it comes back to that loop.
thread_local Loop* tlsHandling = nullptr;

// Tells the processor this thread spins, where it has a word for it.
inline void spinHint() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// The loop's lock is held for a few pointer moves at a time, by every worker
// of both instances: a short spin before sleeping on it saves the futex
// round trip (and the context switch) that contention costs otherwise.
std::unique_lock<std::mutex> lockLoop(Loop* loop) {
    for (int i = 0; i < 64; ++i) {
        if (loop->mutex.try_lock())
            return std::unique_lock<std::mutex>(loop->mutex, std::adopt_lock);
        spinHint();
    }
    return std::unique_lock<std::mutex>(loop->mutex);
}

void wake(Loop* loop) {
    const std::uint64_t one = 1;
    ssize_t r = ::write(loop->wakeFd, &one, sizeof one);
    (void)r;  // a full counter already means "wake up"
}

void pushSleeper(Loop* loop, Sleeper* s) {
    s->prev = nullptr;
    s->next = loop->sleepers;
    if (s->next) s->next->prev = s;
    loop->sleepers = s;
}

void unlinkSleeper(Loop* loop, Sleeper* s) {
    (s->prev ? s->prev->next : loop->sleepers) = s->next;
    if (s->next) s->next->prev = s->prev;
    s->next = s->prev = nullptr;
}

// Claims a sleeping worker that no other packet has claimed.
Sleeper* claimSleeper(Loop* loop, Sleeper* s) {
    if (!s) return nullptr;
    unlinkSleeper(loop, s);
    s->signalled = true;
    return s;
}

// The newest sleeper that waits on `port`.
Sleeper* sleeperOf(Loop* loop, CompletionPort* port) {
    Sleeper* s = loop->sleepers;
    while (s && s->port != port) s = s->next;
    return s;
}

// A wake-up decided under the loop's lock and sent after it is released:
// sent under it, the woken thread would only wake to wait for the lock.
struct Wakeup {
    Sleeper* sleeper = nullptr;
    Loop* poller = nullptr;
    void send() const {
        if (sleeper) sleeper->wakeUp.notify_one();
        if (poller) wake(poller);
    }
};

// Workers of every loop that are running rather than waiting. As a
// completion port's concurrency value, it keeps a woken worker from merely
// taking a processor from one already running: the CPUs are shared by all
// ports, so the count is too.
std::atomic<int> gRunning{0};

// Counted out again when its thread ends while it runs (a worker that took
// its exit packet never waits again).
struct RunningMark {
    bool on = false;
    ~RunningMark() {
        if (on) gRunning.fetch_sub(1, std::memory_order_relaxed);
    }
};
thread_local RunningMark tlsRunning;

void waitBegins() {
    if (tlsRunning.on) gRunning.fetch_sub(1, std::memory_order_relaxed);
    tlsRunning.on = false;
}

void waitEnds() {
    if (!tlsRunning.on) gRunning.fetch_add(1, std::memory_order_relaxed);
    tlsRunning.on = true;
}

bool processorsBusy() {
    static const int processors = processorCount();
    return gRunning.load(std::memory_order_relaxed) >= processors;
}

// Someone should come for a queued packet: a sleeping worker, else the
// poller. Called with the loop's lock held.
Wakeup signal(Loop* loop) {
    Wakeup w;
    // The poller, busy with its batch, looks at the queue next anyway.
    if (loop->serving.load(std::memory_order_relaxed)) return w;
    w.sleeper = claimSleeper(loop, loop->sleepers);
    if (!w.sleeper && loop->polling) w.poller = loop;
    return w;
}

// The same for a packet only waiters on `port` may take. Nobody is woken
// when none of them waits: they are all running and come back for it.
Wakeup signalPort(CompletionPort* port) {
    Wakeup w;
    Loop* loop = port->loop;
    const bool pollerIsOurs = loop->polling && loop->pollerPort == port;
    if (pollerIsOurs && loop->serving.load(std::memory_order_relaxed)) return w;
    w.sleeper = claimSleeper(loop, sleeperOf(loop, port));
    if (!w.sleeper && pollerIsOurs) w.poller = loop;
    return w;
}

// A worker found more packets than the one it takes: another worker helps
// with them only while a processor is free for it. Otherwise this one comes
// back for them, or the standby takes them on its next look.
Wakeup shareWork(Loop* loop) {
    return processorsBusy() ? Wakeup{} : signal(loop);
}

Sleeper* takeSleeper(Loop* loop) {
    if (loop->spareSleepers.empty()) {
        loop->ownedSleepers.push_back(std::make_unique<Sleeper>());
        return loop->ownedSleepers.back().get();
    }
    Sleeper* s = loop->spareSleepers.back();
    loop->spareSleepers.pop_back();
    return s;
}

}  // namespace

// Every socket is watched for everything, edge-triggered; EPOLL_CTL_MOD on a
// watched one has epoll look at it again: what is ready now comes to the
// loop's poller as a fresh edge.
bool watchFd(SocketEntry* e, Socket h, int op) {
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    ev.data.u64 = h;
    return ::epoll_ctl(e->port->loop->epollFd, op, e->fd, &ev) == 0;
}

bool onLoopThread(const Loop* loop) {
    return tlsPolling == loop || tlsHandling == loop;
}

void complete(PendingOp* op, std::uint32_t bytes, int error, bool quiet) {
    CompletionPort* port = op->port;
    Loop* loop = port->loop;
    std::unique_lock<std::mutex> lock = lockLoop(loop);
    if (port->closed) return;
    // The loop's poller takes it when its batch is done; a worker that posted
    // it while handling a packet of this loop takes it when it comes back.
    const bool comingBack = onLoopThread(loop);
    const Packet packet{overlappedOf(op), bytes, op->key, error, port};
    // Nothing waits on a quiet one: it is taken when there is nothing else to
    // do, at the latest by the standby on its next look. Other work never
    // waits behind it, nor wakes a worker for it.
    if (quiet && (comingBack || (loop->standbySleeper && !loop->standbyDozing))) {
        loop->quiet.push_back(packet);
        return;
    }
    loop->queue.push_back(packet);
    if (comingBack) return;
    const Wakeup w = signal(loop);
    lock.unlock();
    w.send();
}

void releaseLoop(Loop* loop) {
    if (loop->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    ::close(loop->epollFd);
    ::close(loop->wakeFd);
    delete loop;
}

namespace {

constexpr auto kDozingInterval = std::chrono::milliseconds(100);
constexpr int kLooksBeforeDozing = 25;  // 50 ms without a poll that found anything

// Sleeps until a packet is this thread's, the port closes, or the time is
// up. The first sleeper is the standby: while the poller handles what it
// found nobody polls, so the standby looks again shortly and polls if it is
// still so. Once the loop has been idle a while it looks only now and then,
// and the poller rouses it when events come again.
void waitAsSleeper(CompletionPort* port, std::unique_lock<std::mutex>& lock, bool forever,
                   std::chrono::steady_clock::time_point deadline) {
    using Clock = std::chrono::steady_clock;
    Loop* loop = port->loop;
    Sleeper* me = takeSleeper(loop);
    me->signalled = false;
    me->port = port;
    pushSleeper(loop, me);
    const bool standby = !loop->standbySleeper;
    auto until = deadline;
    std::uint64_t batchesBefore = 0;
    if (standby) {
        loop->standbySleeper = me;
        const bool dozing = loop->idleLooks >= kLooksBeforeDozing;
        loop->standbyDozing = dozing;
        const auto soon = Clock::now() + (dozing ? kDozingInterval : kStandbyInterval);
        until = forever ? soon : std::min(soon, deadline);
        batchesBefore = loop->batches.load(std::memory_order_relaxed);
    }
    waitBegins();
    while (!me->signalled && !port->closed) {
        if (!standby && forever) {
            me->wakeUp.wait(lock);
        } else if (me->wakeUp.wait_until(lock, until) == std::cv_status::timeout) {
            break;
        }
    }
    waitEnds();
    if (standby) {
        const bool idle = loop->batches.load(std::memory_order_relaxed) == batchesBefore &&
                          loop->queue.empty() && loop->quiet.empty();
        loop->idleLooks = idle ? loop->idleLooks + 1 : 0;
        loop->standbySleeper = nullptr;
        loop->standbyDozing = false;
    }
    if (!me->signalled) unlinkSleeper(loop, me);
    loop->spareSleepers.push_back(me);
}

// Events came while the standby dozes: it goes back to looking shortly.
void rouseStandby(Loop* loop) {
    Wakeup w;
    {
        std::lock_guard<std::mutex> lock(loop->mutex);
        loop->idleLooks = 0;
        if (loop->standbyDozing && loop->standbySleeper && !loop->standbySleeper->signalled) {
            w.sleeper = claimSleeper(loop, loop->standbySleeper);
        }
    }
    w.send();
}

// The packet a waiter on `port` takes next, if any: its own port's posted
// packets first, then completions, and quiet ones when nothing else waits
// or too many of them do. Under the loop's lock.
bool takePacket(CompletionPort* port, Packet& out, Wakeup& helper) {
    Loop* loop = port->loop;
    if (!port->own.empty()) {
        out = port->own.front();
        port->own.pop_front();
        return true;
    }
    if (!loop->queue.empty() && loop->quiet.size() < kQuietBacklog) {
        out = loop->queue.front();
        loop->queue.pop_front();
        // More work queued: wake a waiter for it. The poll itself is not
        // handed on here (a wake-up per event); the standby takes it over if
        // this thread stays busy.
        if (loop->queue.size() >= kShareAt && !helper.sleeper) helper = shareWork(loop);
        return true;
    }
    if (loop->quiet.empty()) return false;
    out = loop->quiet.front();
    loop->quiet.pop_front();
    return true;
}

// This thread is the poller for one epoll_wait: it serves the sockets it
// found ready with the loop's lock released, and has it again on return.
void pollOnce(CompletionPort* port, std::unique_lock<std::mutex>& lock, int waitMs,
              ServeReady serve, Wakeup& helper) {
    Loop* loop = port->loop;
    loop->polling = true;
    loop->pollerPort = port;
    lock.unlock();
    helper.send();
    helper = Wakeup{};
    tlsPolling = loop;
    epoll_event events[64];
    waitBegins();
    const int n = ::epoll_wait(loop->epollFd, events, 64, waitMs);
    waitEnds();
    loop->serving.store(true, std::memory_order_relaxed);
    if (n > 0) {
        loop->batches.fetch_add(1, std::memory_order_relaxed);
        if (loop->standbyDozing.load(std::memory_order_relaxed)) rouseStandby(loop);
    }
    for (int i = 0; i < n; ++i) {
        if (events[i].data.u64 == 0) {
            std::uint64_t drained;
            while (::read(loop->wakeFd, &drained, sizeof drained) > 0) {
            }
            continue;
        }
        serve(events[i].data.u64, events[i].events);
    }
    tlsPolling = nullptr;
    lock.lock();
    loop->serving.store(false, std::memory_order_relaxed);
    loop->polling = false;
    loop->pollerPort = nullptr;
    // This thread takes one packet; the rest are shared.
    if (loop->queue.size() > kShareAt) helper = shareWork(loop);
}

}  // namespace

bool waitForPacket(CompletionPort* port, std::uint32_t timeoutMs, ServeReady serve, Packet& out) {
    using Clock = std::chrono::steady_clock;
    tlsHandling = nullptr;
    if (!port) return false;
    Loop* loop = port->loop;
    const bool forever = timeoutMs == kInfinite;
    const auto deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);
    std::unique_lock<std::mutex> lock = lockLoop(loop);
    Wakeup helper;  // claimed under the lock, sent on every way out
    auto leave = [&](bool took) {
        lock.unlock();
        helper.send();
        if (took) tlsHandling = loop;
        return took;
    };
    for (;;) {
        // A closed port's waiters leave, even while the loop has work for
        // the ports still open.
        if (port->closed) return leave(false);
        if (takePacket(port, out, helper)) return leave(true);
        int waitMs = -1;
        if (!forever) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return leave(false);
            waitMs = static_cast<int>(std::min<long long>(left.count(), INT_MAX));
        }
        if (loop->polling) {
            waitAsSleeper(port, lock, forever, deadline);
        } else {
            pollOnce(port, lock, waitMs, serve, helper);
        }
    }
}

}  // namespace posix

using namespace posix;

int processorCount() {
    // The processors this process may run on: a relay pinned to one core
    // must not count the others as room for a second running worker.
    cpu_set_t mine;
    CPU_ZERO(&mine);
    if (::sched_getaffinity(0, sizeof mine, &mine) == 0 && CPU_COUNT(&mine) > 0) {
        return CPU_COUNT(&mine);
    }
    const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<int>(n) : 1;
}

PortHandle createPort(PortHandle shareWith) {
    Loop* loop = nullptr;
    if (shareWith) {
        loop = shareWith->loop;
    } else {
        loop = new Loop;
        loop->epollFd = ::epoll_create1(EPOLL_CLOEXEC);
        loop->wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = 0;  // never a socket handle
        if (loop->epollFd < 0 || loop->wakeFd < 0 ||
            ::epoll_ctl(loop->epollFd, EPOLL_CTL_ADD, loop->wakeFd, &ev) != 0) {
            if (loop->epollFd >= 0) ::close(loop->epollFd);
            if (loop->wakeFd >= 0) ::close(loop->wakeFd);
            delete loop;
            return nullptr;
        }
    }
    std::lock_guard<std::mutex> lock(loop->mutex);
    loop->ports.push_back(std::make_unique<CompletionPort>());
    CompletionPort* port = loop->ports.back().get();
    port->loop = loop;
    loop->refs.fetch_add(1, std::memory_order_relaxed);
    return port;
}

void closePort(PortHandle port) {
    if (!port) return;
    Loop* loop = port->loop;
    {
        std::lock_guard<std::mutex> lock(loop->mutex);
        port->closed = true;
        port->own.clear();
        const auto ours = [port](const Packet& p) { return p.port == port; };
        std::erase_if(loop->queue, ours);
        std::erase_if(loop->quiet, ours);
        while (Sleeper* s = claimSleeper(loop, sleeperOf(loop, port))) s->wakeUp.notify_one();
        if (loop->polling && loop->pollerPort == port) wake(loop);
    }
    releaseLoop(loop);
}

bool postPacket(PortHandle port, std::uint32_t bytes, std::uintptr_t key, Overlapped* overlapped) {
    if (!port) return false;
    std::unique_lock<std::mutex> lock = lockLoop(port->loop);
    if (port->closed) return false;
    port->own.push_back(Packet{overlapped, bytes, key, 0, port});
    const Wakeup w = signalPort(port);
    lock.unlock();
    w.send();
    return true;
}

}  // namespace lumesk::platform
