// POSIX completion layer: epoll underneath, Windows completion-port semantics on top.
//
// Every operation is tried at once on the posting thread; only when it would
// block does it wait in the socket's queue for an epoll edge. Whoever finishes
// it queues the completion on its port's loop. A loop is shared by the ports
// made to share it, and their workers share it in a leader/follower way: one
// waiter at a time sits in epoll_wait and serves the ready sockets itself,
// the others sleep in the loop until a packet is theirs.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/live_count.h"
#include "platform/posix/socket_table.h"

namespace lumesk::platform {
namespace posix {
namespace {

int mapErrno(int e) {
    switch (e) {
        case 0:
            return 0;
        case EINTR:
            return kErrIntr;
        case EACCES:
        case EPERM:
            return kErrAccess;
        case EFAULT:
            return kErrFault;
        case EINVAL:
            return kErrInvalid;
        case EMFILE:
        case ENFILE:
            return kErrTooManySockets;
        case EAGAIN:
            return kErrWouldBlock;
        case EINPROGRESS:
            return kErrInProgress;
        case EALREADY:
            return 10037;
        case EBADF:
        case ENOTSOCK:
            return kErrNotSocket;
        case EDESTADDRREQ:
            return 10039;
        case EMSGSIZE:
            return 10040;
        case EPROTOTYPE:
            return 10041;
        case ENOPROTOOPT:
            return 10042;
        case EPROTONOSUPPORT:
            return 10043;
        case EOPNOTSUPP:
            return 10045;
        case EAFNOSUPPORT:
            return 10047;
        case EADDRINUSE:
            return kErrAddrInUse;
        case EADDRNOTAVAIL:
            return 10049;
        case ENETDOWN:
            return 10050;
        case ENETUNREACH:
            return 10051;
        case ENETRESET:
            return 10052;
        case ECONNABORTED:
            return 10053;
        case ECONNRESET:
        case EPIPE:
            return kErrConnReset;
        case ENOBUFS:
        case ENOMEM:
            return kErrNoBufs;
        case EISCONN:
            return 10056;
        case ENOTCONN:
            return kErrNotConnected;
        case ESHUTDOWN:
            return 10058;
        case ETIMEDOUT:
            return kErrTimedOut;
        case ECONNREFUSED:
            return kErrConnRefused;
        case EHOSTDOWN:
            return 10064;
        case EHOSTUNREACH:
            return 10065;
        default:
            return 10000 + e;  // no Winsock twin: keep it recognisable
    }
}

constexpr std::uint32_t kChunkBits = 10;
constexpr std::uint32_t kChunkSize = 1u << kChunkBits;
constexpr std::uint32_t kMaxChunks = 4096;

// The handle table. Entries are never freed, so a stale handle always finds
// readable memory and is turned away by its generation.
struct Table {
    std::mutex mutex;
    std::array<std::atomic<SocketEntry*>, kMaxChunks> chunks{};
    std::vector<std::uint32_t> freeList;
    std::uint32_t used = 0;
    std::atomic<std::size_t> open{0};
};

Table& table() {
    static Table* t = new Table;  // outlives every worker at exit
    return *t;
}

std::uint32_t generationOf(Socket h) {
    return static_cast<std::uint32_t>(h >> 32);
}

SocketEntry* entryOf(Socket h) {
    const std::uint32_t index = static_cast<std::uint32_t>(h & 0xFFFFFFFFu);
    if (index == 0) return nullptr;
    const std::uint32_t chunk = (index - 1) >> kChunkBits;
    if (chunk >= kMaxChunks) return nullptr;
    SocketEntry* c = table().chunks[chunk].load(std::memory_order_acquire);
    return c ? &c[(index - 1) & (kChunkSize - 1)] : nullptr;
}

// Locks the entry of a live handle with one of its two locks; null (and
// nothing locked) for a stale one.
SocketEntry* lockLiveWith(std::mutex SocketEntry::*which, Socket h,
                          std::unique_lock<std::mutex>& lock) {
    SocketEntry* e = entryOf(h);
    if (!e) return nullptr;
    lock = std::unique_lock<std::mutex>(e->*which);
    if (!e->inUse || e->generation != generationOf(h)) {
        lock.unlock();
        return nullptr;
    }
    return e;
}

SocketEntry* lockLive(Socket h, std::unique_lock<std::mutex>& lock) {
    return lockLiveWith(&SocketEntry::mutex, h, lock);
}

// For what only sends touch.
SocketEntry* lockLiveSends(Socket h, std::unique_lock<std::mutex>& lock) {
    return lockLiveWith(&SocketEntry::sendMutex, h, lock);
}

constexpr auto kStandbyInterval = std::chrono::milliseconds(2);
// Packets left in the queue, besides the one a worker takes, before it wakes
// another to help: a few are done sooner than a wake-up and a sleep take, and
// a thread busy for longer is relieved by the standby anyway. At 4, a relay
// opening and closing connections woke a helper for most polls and spent a
// tenth more CPU per connection, for no more connections a second.
constexpr std::size_t kShareAt = 16;
// Quiet packets taken before others once this many wait.
constexpr std::size_t kQuietBacklog = 64;

thread_local int tlsSocketError = 0;
thread_local Loop* tlsPolling = nullptr;
// The loop whose packet this thread took last: it comes back to that loop.
thread_local Loop* tlsHandling = nullptr;

// The loop's lock is held for a few pointer moves at a time, by every worker
// of both instances: a short spin before sleeping on it saves the futex
// round trip (and the context switch) that contention costs otherwise.
std::unique_lock<std::mutex> lockLoop(Loop* loop) {
    for (int i = 0; i < 64; ++i) {
        if (loop->mutex.try_lock())
            return std::unique_lock<std::mutex>(loop->mutex, std::adopt_lock);
        __builtin_ia32_pause();
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

// Every socket is watched for everything, edge-triggered; EPOLL_CTL_MOD on a
// watched one has epoll look at it again: what is ready now comes to the
// loop's poller as a fresh edge.
bool watchFd(SocketEntry* e, Socket h, int op = EPOLL_CTL_ADD) {
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    ev.data.u64 = h;
    return ::epoll_ctl(e->port->loop->epollFd, op, e->fd, &ev) == 0;
}

void setFd(SocketEntry* e, int fd) {
    std::lock_guard<std::mutex> sendHold(e->sendMutex);
    e->fd = fd;
}

int ensureFd(SocketEntry* e) {
    if (e->fd >= 0) return 0;
    setFd(e, ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP));
    return e->fd < 0 ? mapErrno(errno) : 0;
}

// The socket listens, connects or is connected: from now on its port polls it.
bool activate(SocketEntry* e, Socket h) {
    if (e->active) return true;  // a second listen only changes the backlog
    {
        std::lock_guard<std::mutex> sendHold(e->sendMutex);
        e->active = true;
    }
    return !e->port || watchFd(e, h);
}

// A relay passes each chunk on as it comes: small writes must not wait for
// the peer's acknowledgement (Nagle), or a request/response stalls 40 ms.
void noDelay(int fd) {
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

sockaddr_in makeAddress(std::uint32_t addressNet, std::uint16_t portHost) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(portHost);
    sa.sin_addr.s_addr = addressNet;
    return sa;
}

enum class Attempt { Done, WouldBlock, Failed };

Attempt tryReceive(SocketEntry* e, PendingOp* op, std::uint32_t& bytes, int& error) {
    if (e->fault != 0) {
        error = e->fault;
        e->fault = 0;
        return Attempt::Failed;
    }
    for (;;) {
        const ssize_t n = ::recv(e->fd, op->buffer, op->length, 0);
        if (n >= 0) {
            bytes = static_cast<std::uint32_t>(n);
            // A short read emptied the socket and what comes next raises an
            // edge; but the peer's close may already wait behind the bytes read.
            e->mayRead = n == 0 || bytes == op->length || e->peerClosed;
            return Attempt::Done;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            e->mayRead = false;
            return Attempt::WouldBlock;
        }
        error = mapErrno(errno);
        return Attempt::Failed;
    }
}

Attempt trySend(SocketEntry* e, PendingOp* op, int& error) {
    while (op->done < op->length) {
        const ssize_t n = ::send(e->fd, op->buffer + op->done, op->length - op->done, MSG_NOSIGNAL);
        if (n > 0) {
            op->done += static_cast<std::uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Attempt::WouldBlock;
        error = mapErrno(n < 0 ? errno : EPIPE);
        return Attempt::Failed;
    }
    return Attempt::Done;
}

void writePeer(unsigned char* block, const sockaddr_in& sa) {
    sockaddr_in copy{};
    copy.sin_family = AF_INET;
    copy.sin_port = sa.sin_port;
    copy.sin_addr = sa.sin_addr;
    // A sockaddr_in's family is 16 bits on Windows; write it the same way here.
    const std::uint16_t family = AF_INET;
    std::memcpy(block + kPeerAddressOffset, &family, 2);
    std::memcpy(block + kPeerAddressOffset + 2, &copy.sin_port, 2);
    std::memcpy(block + kPeerAddressOffset + 4, &copy.sin_addr, 4);
    std::memset(block + kPeerAddressOffset + 8, 0, 8);
}

// Hands an accepted descriptor to the socket its accept named.
void installAccepted(PendingOp* op, int fd, const sockaddr_in& peer) {
    std::unique_lock<std::mutex> lock;
    SocketEntry* t = lockLive(op->target, lock);
    if (!t || t->fd >= 0) {
        ::close(fd);
        complete(op, 0, kErrOperationAborted);
        return;
    }
    setFd(t, fd);
    t->mayRead = true;
    t->peerClosed = false;
    t->acceptListener = kNoSocket;
    activate(t, op->target);
    if (op->peerBlock) writePeer(op->peerBlock, peer);
    complete(op, 0, 0);
}

struct Accepted {
    PendingOp* op;
    int fd;
    sockaddr_in peer;
};

// One descriptor kept in reserve for a process that has run out: given up for
// a moment, it lets the waiting connections be taken and closed (refused at
// once) instead of left in the queue. Process-wide, as the descriptor table is.
std::mutex spareMutex;
int spareFd = -1;

void keepSpare() {
    std::lock_guard<std::mutex> hold(spareMutex);
    if (spareFd < 0) spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

// How many it refused, or -1 without a reserve to give up.
int refuseWaiting(int listenFd) {
    std::lock_guard<std::mutex> hold(spareMutex);
    if (spareFd < 0) spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (spareFd < 0) return -1;
    ::close(spareFd);
    int refused = 0;
    for (;;) {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            ::close(fd);
            ++refused;
        } else if (errno != EINTR && errno != ECONNABORTED) {
            break;
        }
    }
    spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    return refused;
}

// Takes waiting connections for the listener's queued accepts. They are
// handed to their target sockets only once the listener's lock is released,
// so no two socket locks are ever held together.
void serveAccepts(SocketEntry* l, std::vector<Accepted>& out) {
    while (!l->accepts.empty()) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        const int fd = ::accept4(l->fd, reinterpret_cast<sockaddr*>(&peer), &len,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                l->starved = false;
                return;
            }
            // Out of descriptors or memory. Descriptors: refuse whoever waits
            // now rather than leave them queued with no edge to come (the
            // system says so even with nobody waiting: then nothing failed).
            // Otherwise fail one accept, as a Windows accept that completes
            // with an error; the service posts it again after a pause, and
            // the next posted accept looks at the queue again.
            const int code = errno;
            const int refused = code == EMFILE || code == ENFILE ? refuseWaiting(l->fd) : -1;
            l->starved = refused < 0;
            if (refused != 0) complete(l->accepts.pop(), 0, mapErrno(code));
            return;
        }
        l->starved = false;
        out.push_back(Accepted{l->accepts.pop(), fd, peer});
    }
}

void installAll(const std::vector<Accepted>& accepted) {
    for (const Accepted& a : accepted) installAccepted(a.op, a.fd, a.peer);
}

void serveConnect(SocketEntry* e, std::uint32_t events) {
    // Watched only from the connect on, so this edge is its outcome: writable
    // without a fault is a connection; only a fault needs asking for its code.
    int err = 0;
    socklen_t len = sizeof err;
    if ((events & (EPOLLERR | EPOLLHUP)) &&
        ::getsockopt(e->fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
        err = errno;
    }
    PendingOp* op = e->connect;
    e->connect = nullptr;
    // Nothing can have come yet but what this very edge reports (serveSocket
    // marks that next): the first receive need not try a read that would fail.
    e->mayRead = false;
    complete(op, 0, mapErrno(err));
}

void serveReceives(SocketEntry* e) {
    while (!e->receives.empty()) {
        std::uint32_t bytes = 0;
        int error = 0;
        const Attempt a = tryReceive(e, e->receives.head, bytes, error);
        if (a == Attempt::WouldBlock) return;
        complete(e->receives.pop(), bytes, a == Attempt::Done ? 0 : error);
    }
}

void failAll(OpQueue& q, int error, bool quiet = false) {
    while (PendingOp* op = q.pop()) complete(op, 0, error, quiet);
}

void serveSends(SocketEntry* e) {
    while (!e->sends.empty()) {
        int error = 0;
        const Attempt a = trySend(e, e->sends.head, error);
        if (a == Attempt::WouldBlock) return;
        if (a == Attempt::Failed) {
            failAll(e->sends, error);
            return;
        }
        PendingOp* op = e->sends.pop();
        complete(op, op->length, 0);
    }
}

}  // namespace

void complete(PendingOp* op, std::uint32_t bytes, int error, bool quiet) {
    CompletionPort* port = op->port;
    Loop* loop = port->loop;
    std::unique_lock<std::mutex> lock = lockLoop(loop);
    if (port->closed) return;
    // The loop's poller takes it when its batch is done; a worker that posted
    // it while handling a packet of this loop takes it when it comes back.
    const bool comingBack = tlsPolling == loop || tlsHandling == loop;
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

void serveSocket(Socket handle, std::uint32_t events) {
    std::vector<Accepted> accepted;
    {
        std::unique_lock<std::mutex> lock;
        SocketEntry* e = lockLive(handle, lock);
        if (!e || e->fd < 0) return;
        if (!e->accepts.empty()) serveAccepts(e, accepted);
        if (e->connect && (events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) serveConnect(e, events);
        if (events & (EPOLLIN | EPOLLRDHUP | EPOLLERR | EPOLLHUP)) e->mayRead = true;
        if (events & (EPOLLRDHUP | EPOLLERR | EPOLLHUP)) e->peerClosed = true;
        if (!e->receives.empty()) serveReceives(e);
    }
    installAll(accepted);
    if (events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) {
        std::unique_lock<std::mutex> lock;
        SocketEntry* e = lockLiveSends(handle, lock);
        if (e && e->fd >= 0 && !e->sends.empty()) serveSends(e);
    }
}

void releaseLoop(Loop* loop) {
    if (loop->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    ::close(loop->epollFd);
    ::close(loop->wakeFd);
    delete loop;
}

}  // namespace posix

using namespace posix;

int startup() {
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &lim);
    }
    ::signal(SIGPIPE, SIG_IGN);
    posix::keepSpare();
    return 0;
}

int processorCount() {
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

bool associate(Socket socket, PortHandle port, std::uintptr_t key) {
    if (!port || port->closed) return false;
    std::unique_lock<std::mutex> lock;
    SocketEntry* e = lockLive(socket, lock);
    if (!e || e->port) return false;
    {
        std::lock_guard<std::mutex> sendHold(e->sendMutex);
        e->port = port;
        e->key = key;
    }
    port->loop->refs.fetch_add(1, std::memory_order_relaxed);
    return !e->active || watchFd(e, socket);
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

void deliver(const Packet& p, Completion& out) {
    out.ok = p.error == 0;
    out.bytes = p.bytes;
    out.key = p.key;
    out.overlapped = p.overlapped;
    out.error = p.error;
    out.port = p.port;
}

}  // namespace

bool dequeue(PortHandle port, std::uint32_t timeoutMs, Completion& out) {
    using Clock = std::chrono::steady_clock;
    out = Completion{};
    tlsHandling = nullptr;
    if (!port) return false;
    Loop* loop = port->loop;
    const bool forever = timeoutMs == kInfinite;
    const auto deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);
    std::unique_lock<std::mutex> lock = lockLoop(loop);
    Wakeup helper;  // sent on the way out
    for (;;) {
        // A closed port's waiters leave, even while the loop has work for
        // the ports still open.
        if (port->closed) return false;
        if (!port->own.empty() || !loop->queue.empty() || !loop->quiet.empty()) {
            Packet p;
            if (!port->own.empty()) {
                p = port->own.front();
                port->own.pop_front();
            } else if (!loop->queue.empty() && loop->quiet.size() < kQuietBacklog) {
                // Quiet ones wait for a free moment, but not for ever.
                p = loop->queue.front();
                loop->queue.pop_front();
                // More work queued: wake a waiter for it. The poll itself is not
                // handed on here (a wake-up per event); the standby takes it
                // over if this thread stays busy.
                if (loop->queue.size() >= kShareAt && !helper.sleeper) helper = shareWork(loop);
            } else {
                p = loop->quiet.front();
                loop->quiet.pop_front();
            }
            lock.unlock();
            helper.send();
            tlsHandling = loop;
            deliver(p, out);
            return out.ok;
        }
        int waitMs = -1;
        if (!forever) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return false;
            waitMs = static_cast<int>(std::min<long long>(left.count(), INT_MAX));
        }
        if (loop->polling) {
            waitAsSleeper(port, lock, forever, deadline);
            continue;
        }
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
            serveSocket(events[i].data.u64, events[i].events);
        }
        tlsPolling = nullptr;
        lock.lock();
        loop->serving.store(false, std::memory_order_relaxed);
        loop->polling = false;
        loop->pollerPort = nullptr;
        // This thread takes one packet; the rest are shared.
        if (loop->queue.size() > kShareAt) helper = shareWork(loop);
    }
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

Socket createSocket(bool acceptTarget) {
    int fd = -1;
    if (!acceptTarget) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
        if (fd < 0) {
            tlsSocketError = mapErrno(errno);
            return kNoSocket;
        }
    }
    Table& t = table();
    std::uint32_t index;
    {
        std::lock_guard<std::mutex> lock(t.mutex);
        if (!t.freeList.empty()) {
            index = t.freeList.back();
            t.freeList.pop_back();
        } else if (t.used < kChunkSize * kMaxChunks) {
            index = t.used++;
            const std::uint32_t chunk = index >> kChunkBits;
            if (!t.chunks[chunk].load(std::memory_order_relaxed)) {
                t.chunks[chunk].store(new SocketEntry[kChunkSize], std::memory_order_release);
            }
        } else {
            if (fd >= 0) ::close(fd);
            tlsSocketError = kErrTooManySockets;
            return kNoSocket;
        }
    }
    SocketEntry* e = &t.chunks[index >> kChunkBits].load()[index & (kChunkSize - 1)];
    std::uint32_t generation;
    {
        std::scoped_lock lock(e->mutex, e->sendMutex);
        e->inUse = true;
        e->fd = fd;
        e->mayRead = true;
        e->peerClosed = false;
        e->port = nullptr;
        e->key = 0;
        e->acceptListener = kNoSocket;
        e->active = false;
        e->bound = false;
        e->fault = 0;
        e->connect = nullptr;
        generation = e->generation;
    }
    t.open.fetch_add(1, std::memory_order_relaxed);
    return (static_cast<Socket>(generation) << 32) | (index + 1);
}

int lastSocketError() {
    return tlsSocketError;
}

int closeSocket(Socket socket) {
    std::unique_lock<std::mutex> lock;
    SocketEntry* e = lockLive(socket, lock);
    if (!e) return kErrNotSocket;
    std::unique_lock<std::mutex> sendLock(e->sendMutex);
    e->inUse = false;
    if (++e->generation == 0) e->generation = 1;
    // Every pending operation fails through its port, once. Whoever closed
    // the socket is not waiting for these: they wake nobody (see complete).
    failAll(e->receives, kErrOperationAborted, true);
    failAll(e->sends, kErrOperationAborted, true);
    failAll(e->accepts, kErrOperationAborted, true);
    if (e->connect) {
        complete(e->connect, 0, kErrOperationAborted, true);
        e->connect = nullptr;
    }
    const Socket listener = e->acceptListener;
    e->acceptListener = kNoSocket;
    CompletionPort* port = e->port;
    e->port = nullptr;
    if (e->fd >= 0) ::close(e->fd);  // also leaves the epoll set
    e->fd = -1;
    sendLock.unlock();
    lock.unlock();

    if (listener != kNoSocket) {
        // An accept into this socket is still queued on its listener: fail it there.
        std::unique_lock<std::mutex> llock;
        if (SocketEntry* l = lockLive(listener, llock)) {
            for (PendingOp* op = l->accepts.head; op; op = op->next) {
                if (op->target == socket) {
                    l->accepts.remove(op);
                    complete(op, 0, kErrOperationAborted, true);
                    break;
                }
            }
        }
    }
    if (port) releaseLoop(port->loop);
    Table& t = table();
    {
        std::lock_guard<std::mutex> tlock(t.mutex);
        t.freeList.push_back(static_cast<std::uint32_t>((socket & 0xFFFFFFFFu) - 1));
    }
    t.open.fetch_sub(1, std::memory_order_relaxed);
    return 0;
}

int bindSocket(Socket socket, std::uint32_t addressNet, std::uint16_t portHost) {
    std::unique_lock<std::mutex> lock;
    SocketEntry* e = lockLive(socket, lock);
    if (!e) return kErrNotSocket;
    if (int err = ensureFd(e)) return err;
    if (e->bound) return kErrInvalid;
    // Any address, any port: what the connect does by itself, choosing the
    // port per destination rather than one unique machine-wide (which
    // collides with every TIME_WAIT socket as they pile up).
    if (addressNet == 0 && portHost == 0) {
        e->bound = true;
        return 0;
    }
    // Windows lets a listener bind a port that still has TIME_WAIT connections.
    const int one = 1;
    if (portHost != 0) {
        ::setsockopt(e->fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    } else {
        ::setsockopt(e->fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
    }
    const sockaddr_in sa = makeAddress(addressNet, portHost);
    if (::bind(e->fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        return mapErrno(errno);
    }
    e->bound = true;
    return 0;
}

int listenSocket(Socket socket, int backlog) {
    std::unique_lock<std::mutex> lock;
    SocketEntry* e = lockLive(socket, lock);
    if (!e) return kErrNotSocket;
    if (int err = ensureFd(e)) return err;
    // Accepted sockets inherit it: one call here instead of one per client.
    noDelay(e->fd);
    if (::listen(e->fd, backlog) != 0) return mapErrno(errno);
    return activate(e, socket) ? 0 : mapErrno(errno);
}

int localAddress(Socket socket, std::uint32_t& addressNet, std::uint16_t& portHost) {
    std::unique_lock<std::mutex> lock;
    SocketEntry* e = lockLive(socket, lock);
    if (!e) return kErrNotSocket;
    if (e->fd < 0) return kErrInvalid;
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(e->fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return mapErrno(errno);
    addressNet = sa.sin_addr.s_addr;
    portHost = ntohs(sa.sin_port);
    return 0;
}

int connectSocket(Socket socket, std::uint32_t addressNet, std::uint16_t portHost) {
    // Held for the whole connect: a close from another thread waits for its end.
    std::unique_lock<std::mutex> lock;
    SocketEntry* e = lockLive(socket, lock);
    if (!e) return kErrNotSocket;
    if (int err = ensureFd(e)) return err;
    if (addressNet == 0) return kErrAddrNotAvail;  // as in connectAsync
    const sockaddr_in sa = makeAddress(addressNet, portHost);
    if (::connect(e->fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        if (errno != EINPROGRESS) return mapErrno(errno);
        pollfd p{e->fd, POLLOUT, 0};
        while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
        }
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(e->fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) return mapErrno(err);
    }
    return activate(e, socket) ? 0 : mapErrno(errno);
}

int acceptAsync(Socket listener, Socket target, unsigned char* peerBlock, Overlapped* overlapped) {
    if (!overlapped) return kErrInvalid;
    {
        // The target first, on its own: two socket locks are never held together.
        std::unique_lock<std::mutex> tlock;
        SocketEntry* t = lockLive(target, tlock);
        if (!t) return kErrNotSocket;
        if (t->fd >= 0 || t->acceptListener != kNoSocket) return kErrInvalid;
        t->acceptListener = listener;
    }
    std::vector<Accepted> accepted;
    {
        std::unique_lock<std::mutex> lock;
        SocketEntry* l = lockLive(listener, lock);
        const int refused = !l ? kErrNotSocket : (l->fd < 0 || !l->port) ? kErrInvalid : 0;
        if (refused) {
            if (lock.owns_lock()) lock.unlock();
            std::unique_lock<std::mutex> tlock;
            if (SocketEntry* t = lockLive(target, tlock)) t->acceptListener = kNoSocket;
            return refused;
        }
        PendingOp* op = new (opOf(overlapped)) PendingOp;
        op->target = target;
        op->peerBlock = peerBlock;
        op->port = l->port;
        op->key = l->key;
        l->accepts.push(op);
        if (l->accepts.head == op || l->starved) serveAccepts(l, accepted);
    }
    installAll(accepted);
    return 0;
}

int acceptFinish(Socket listener, Socket target, unsigned char* peerBlock) {
    (void)listener;
    (void)peerBlock;  // written when the accept completed
    std::unique_lock<std::mutex> lock;
    return lockLive(target, lock) ? 0 : kErrNotSocket;
}

int receiveAsync(Socket socket, char* buffer, std::uint32_t length, Overlapped* overlapped) {
    std::unique_lock<std::mutex> lock;
    SocketEntry* e = lockLive(socket, lock);
    if (!e) return kErrNotSocket;
    if (!e->active) return kErrNotConnected;
    if (!e->port || !overlapped) return kErrInvalid;
    PendingOp* op = new (opOf(overlapped)) PendingOp;
    op->buffer = buffer;
    op->length = length;
    op->port = e->port;
    op->key = e->key;
    if (e->receives.empty() && e->mayRead) {
        // Posted by a thread that is none of the loop's workers (the
        // housekeeping thread, say): the loop's poller reads it with whatever
        // else it finds, instead of a completion that must wake one of them.
        Loop* loop = e->port->loop;
        if (tlsHandling != loop && tlsPolling != loop && watchFd(e, socket, EPOLL_CTL_MOD)) {
            e->receives.push(op);
            return 0;
        }
        std::uint32_t bytes = 0;
        int error = 0;
        switch (tryReceive(e, op, bytes, error)) {
            case Attempt::Done:
                complete(op, bytes, 0);
                return 0;
            case Attempt::Failed:
                return error;
            case Attempt::WouldBlock:
                break;
        }
    }
    e->receives.push(op);
    return 0;
}

int sendAsync(Socket socket, const char* buffer, std::uint32_t length, Overlapped* overlapped,
              bool* sentAtOnce) {
    if (sentAtOnce) *sentAtOnce = false;
    std::unique_lock<std::mutex> lock;
    SocketEntry* e = lockLiveSends(socket, lock);
    if (!e) return kErrNotSocket;
    if (!e->active) return kErrNotConnected;
    if (!e->port || !overlapped) return kErrInvalid;
    PendingOp* op = new (opOf(overlapped)) PendingOp;
    op->buffer = const_cast<char*>(buffer);
    op->length = length;
    op->port = e->port;
    op->key = e->key;
    if (e->sends.empty()) {
        int error = 0;
        switch (trySend(e, op, error)) {
            case Attempt::Done:
                // The poster has taken note; nobody needs waking for this one.
                if (sentAtOnce) *sentAtOnce = true;
                complete(op, length, 0, sentAtOnce != nullptr);
                return 0;
            case Attempt::Failed:
                return error;
            case Attempt::WouldBlock:
                break;
        }
    }
    e->sends.push(op);
    return 0;
}

int sendNow(Socket socket, const char* buffer, std::uint32_t length, std::uint32_t& taken) {
    taken = 0;
    std::unique_lock<std::mutex> lock;
    SocketEntry* e = lockLiveSends(socket, lock);
    if (!e) return kErrNotSocket;
    if (!e->active) return kErrNotConnected;
    if (!e->sends.empty()) return 0;
    PendingOp op;
    op.buffer = const_cast<char*>(buffer);
    op.length = length;
    int error = 0;
    const Attempt a = trySend(e, &op, error);
    taken = op.done;
    return a == Attempt::Failed ? error : 0;
}

int receiveNow(Socket socket, char* buffer, std::uint32_t length, std::uint32_t& taken) {
    taken = 0;
    std::unique_lock<std::mutex> lock;
    SocketEntry* e = lockLive(socket, lock);
    if (!e) return kErrNotSocket;
    if (!e->active) return kErrNotConnected;
    if (!e->receives.empty() || !e->mayRead) return 0;
    PendingOp op;
    op.buffer = buffer;
    op.length = length;
    int error = 0;
    // An end is read again by the posted receive; a fault is kept for it.
    if (tryReceive(e, &op, taken, error) == Attempt::Failed) e->fault = error;
    return 0;
}

int connectAsync(Socket socket, std::uint32_t addressNet, std::uint16_t portHost,
                 Overlapped* overlapped) {
    std::unique_lock<std::mutex> lock;
    SocketEntry* e = lockLive(socket, lock);
    if (!e) return kErrNotSocket;
    if (e->fd < 0 || !e->port || !overlapped || e->connect) return kErrInvalid;
    // Linux takes 0.0.0.0 for this machine; Windows refuses it as no address.
    if (addressNet == 0) return kErrAddrNotAvail;
    PendingOp* op = new (opOf(overlapped)) PendingOp;
    op->port = e->port;
    op->key = e->key;
    noDelay(e->fd);
    const sockaddr_in sa = makeAddress(addressNet, portHost);
    const bool connected = ::connect(e->fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
    if (!connected && errno != EINPROGRESS) return mapErrno(errno);
    // Watched only from here on, so the next edge is the connect's outcome.
    if (!activate(e, socket)) return mapErrno(errno);
    if (connected) {
        complete(op, 0, 0);
    } else {
        e->connect = op;
    }
    return 0;
}

int connectFinish(Socket socket) {
    std::unique_lock<std::mutex> lock;
    return lockLive(socket, lock) ? 0 : kErrNotSocket;
}

int shutdownSend(Socket socket) {
    std::unique_lock<std::mutex> lock;
    SocketEntry* e = lockLiveSends(socket, lock);
    if (!e) return kErrNotSocket;
    if (e->fd < 0 || !e->active) return kErrNotConnected;
    return ::shutdown(e->fd, SHUT_WR) == 0 ? 0 : mapErrno(errno);
}

std::uint32_t parseIPv4(const std::string& text) {
    return ::inet_addr(text.c_str());
}

std::string formatIPv4(std::uint32_t addressNet) {
    in_addr a{};
    a.s_addr = addressNet;
    char buf[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

std::uint16_t toNetwork16(std::uint16_t value) {
    return htons(value);
}
std::uint16_t fromNetwork16(std::uint16_t value) {
    return ntohs(value);
}

std::vector<std::uint32_t> localAddressTable() {
    std::vector<std::uint32_t> out;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return out;
    std::vector<std::uint32_t> loopback;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET) {
            const std::uint32_t a = reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
            ((ntohl(a) >> 24) == 127 ? loopback : out).push_back(a);
        }
    }
    ::freeifaddrs(list);
    // Windows' table ends with the loopback row, which the address list leaves out.
    out.insert(out.end(), loopback.begin(), loopback.end());
    return out;
}

// A relay allocates and frees a buffer-sized block for every chunk it passes
// on. The C heap hands such blocks' pages back to the system and faults them
// in again each time (a third of the relay's CPU), so a heap keeps a few
// blocks of that size class for reuse, as a Windows heap's free lists do.
constexpr std::size_t kKeptMin = 4096;
constexpr std::size_t kKeptSize = 24 << 10;
constexpr std::size_t kKeptMax = 256;

struct HeapObject {
    LiveCount live;
    bool process = false;
    std::mutex keptMutex;
    std::vector<void*> kept;

    ~HeapObject() {
        for (void* block : kept) std::free(block);
    }
    void* take() {
        std::lock_guard<std::mutex> lock(keptMutex);
        if (kept.empty()) return nullptr;
        void* block = kept.back();
        kept.pop_back();
        return block;
    }
    bool keep(void* block) {
        const std::size_t usable = ::malloc_usable_size(block);
        if (usable < kKeptSize || usable >= kKeptSize + kKeptMin) return false;
        std::lock_guard<std::mutex> lock(keptMutex);
        if (kept.size() >= kKeptMax) return false;
        kept.push_back(block);
        return true;
    }
};

HeapHandle heapCreate() {
    return new HeapObject;
}

HeapHandle processHeap() {
    static HeapObject* heap = [] {
        auto* h = new HeapObject;
        h->process = true;
        return h;
    }();
    return heap;
}

void heapDestroy(HeapHandle heap) {
    if (heap && !heap->process) delete heap;
}

void* heapAlloc(HeapHandle heap, std::size_t size, bool zeroed) {
    if (!heap) return nullptr;
    void* p = nullptr;
    if (size >= kKeptMin && size <= kKeptSize) {
        p = heap->take();
        if (!p) p = std::malloc(kKeptSize);
        if (p && zeroed) std::memset(p, 0, size);
    } else {
        p = zeroed ? std::calloc(1, size ? size : 1) : std::malloc(size ? size : 1);
    }
    if (p) heap->live.add(1);
    return p;
}

void* heapReAlloc(HeapHandle heap, void* block, std::size_t size) {
    if (!heap || !block) return nullptr;
    return std::realloc(block, size ? size : 1);
}

bool heapFree(HeapHandle heap, void* block) {
    if (!heap || !block) return false;
    if (!heap->keep(block)) std::free(block);
    heap->live.add(-1);
    return true;
}

std::size_t heapLiveBlocks(HeapHandle heap) {
    return heap ? heap->live.read() : 0;
}

void heapCompact(HeapHandle heap) {
    if (!heap) return;
    std::vector<void*> blocks;
    {
        std::lock_guard<std::mutex> lock(heap->keptMutex);
        blocks.swap(heap->kept);
    }
    for (void* block : blocks) std::free(block);
    // Free pages the allocator still holds, in every thread's arena.
    ::malloc_trim(0);
}

std::size_t openSocketCount() {
    return table().open.load(std::memory_order_relaxed);
}

}  // namespace lumesk::platform
