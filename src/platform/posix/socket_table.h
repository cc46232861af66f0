// Internal to the POSIX layer: the socket handle table and the pending
// operations kept on each socket.
#pragma once

#include <sys/epoll.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/platform.h"

namespace lumesk::platform::posix {

// Lives inside the caller's Overlapped storage: posting an operation allocates nothing.
struct PendingOp {
    PendingOp* next = nullptr;
    char* buffer = nullptr;
    std::uint32_t length = 0;
    std::uint32_t done = 0;
    Socket target = kNoSocket;  // accept: the socket that receives the connection
    unsigned char* peerBlock = nullptr;
    CompletionPort* port = nullptr;
    std::uintptr_t key = 0;
};
static_assert(sizeof(PendingOp) <= sizeof(Overlapped::storage));

inline PendingOp* opOf(Overlapped* overlapped) {
    return reinterpret_cast<PendingOp*>(overlapped->storage);
}
inline Overlapped* overlappedOf(PendingOp* op) {
    return reinterpret_cast<Overlapped*>(reinterpret_cast<unsigned char*>(op) -
                                         offsetof(Overlapped, storage));
}

// FIFO of pending operations, linked through PendingOp::next.
struct OpQueue {
    PendingOp* head = nullptr;
    PendingOp* tail = nullptr;
    bool empty() const { return head == nullptr; }
    void push(PendingOp* op) {
        op->next = nullptr;
        if (tail) {
            tail->next = op;
        } else {
            head = op;
        }
        tail = op;
    }
    PendingOp* pop() {
        PendingOp* op = head;
        if (op) {
            head = op->next;
            if (!head) tail = nullptr;
            op->next = nullptr;
        }
        return op;
    }
    bool remove(PendingOp* op) {
        PendingOp* prev = nullptr;
        for (PendingOp* p = head; p; prev = p, p = p->next) {
            if (p != op) continue;
            (prev ? prev->next : head) = p->next;
            if (tail == p) tail = prev;
            p->next = nullptr;
            return true;
        }
        return false;
    }
};

struct Packet {
    Overlapped* overlapped;
    std::uint32_t bytes;
    std::uintptr_t key;
    int error;
    CompletionPort* port;  // whose completion it is
};

}  // namespace lumesk::platform::posix

namespace lumesk::platform::posix {

// A worker asleep in the loop. Each is woken on its own, for one packet, as
// a completion port releases one thread per packet; last in, first woken.
struct Sleeper {
    std::condition_variable wakeUp;
    bool signalled = false;
    CompletionPort* port = nullptr;  // the port it waits on
    Sleeper* next = nullptr;
    Sleeper* prev = nullptr;
};

// One epoll set, one completion queue and one set of pollers, shared by the
// ports made to share it: a worker of any of them serves the sockets of all
// and takes their completions, each marked with its own port.
struct Loop {
    std::mutex mutex;
    Sleeper* sleepers = nullptr;  // not yet signalled, newest first
    // Sleepers live as long as the loop: a wake-up is sent after the lock is
    // released, when its sleeper may already be gone back to the spares.
    std::vector<std::unique_ptr<Sleeper>> ownedSleepers;
    std::vector<Sleeper*> spareSleepers;
    // The first sleeper, while the poller is busy, wakes now and then to take
    // over the poll (see waitAsSleeper).
    Sleeper* standbySleeper = nullptr;
    std::atomic<bool> standbyDozing{false};  // an idle loop's standby looks rarely
    int idleLooks = 0;                       // standby looks in a row that found nothing
    std::atomic<std::uint64_t> batches{0};   // polls that found events
    std::deque<Packet> queue;
    std::deque<Packet> quiet;  // completions nobody waits for (see complete)
    int epollFd = -1;
    int wakeFd = -1;
    bool polling = false;                  // one waiter at a time sits in epoll_wait
    CompletionPort* pollerPort = nullptr;  // the port that waiter waits on
    // The poller is serving what its poll found; cleared under the lock, just
    // before it looks at the queue again.
    std::atomic<bool> serving{false};
    // The ports on the loop, freed with it: a completion taken from the queue
    // may still name a port that has just been closed.
    std::vector<std::unique_ptr<CompletionPort>> ports;
    std::atomic<int> refs{0};  // open ports plus every associated socket
};

}  // namespace lumesk::platform::posix

namespace lumesk::platform {

// What a PortHandle points to: one instance's view of a loop.
struct CompletionPort {
    posix::Loop* loop = nullptr;
    std::atomic<bool> closed{false};
    // Posted packets (postPacket): taken only by waiters on this port.
    std::deque<posix::Packet> own;
};

}  // namespace lumesk::platform

namespace lumesk::platform::posix {

// Two locks, so a send never waits for a read of the same socket: `mutex`
// for the socket's state and everything but sends; `sendMutex` for the send
// queue. What a send reads besides (liveness, fd, port, key, active) is
// written with both held. Taken in that order; neither is held while
// another socket's is taken.
struct SocketEntry {
    std::mutex mutex;
    std::mutex sendMutex;
    std::uint32_t generation = 1;
    bool inUse = false;
    int fd = -1;
    CompletionPort* port = nullptr;
    std::uintptr_t key = 0;
    Socket acceptListener = kNoSocket;  // while an accept into this socket is pending
    // Listening, connecting or connected. Only then is it in its port's epoll
    // set: a fresh socket reports itself writable and hung up at once, which
    // would wake the poller for nothing.
    bool active = false;
    bool bound = false;
    int fault = 0;  // found by receiveNow, reported by the next receive
    // False once a read found the socket drained: until the next epoll edge
    // says otherwise, a new receive waits for that edge without a syscall.
    bool mayRead = true;
    bool peerClosed = false;  // an edge said the peer closed or failed: a short read proves nothing
    // A listener's accept failed for want of a resource: connections may wait
    // in its queue with no edge to come, so the next posted accept looks.
    bool starved = false;
    OpQueue receives;
    OpQueue sends;  // under sendMutex
    OpQueue accepts;
    PendingOp* connect = nullptr;
};

// Queues a completion on the operation's port. Called with the socket's lock
// held, so completions of one socket enter the port in the order they happen.
// A quiet completion wakes nobody when a standby waiter will find it shortly.
void complete(PendingOp* op, std::uint32_t bytes, int error, bool quiet = false);

// Runs what a readiness event allows on the socket: accepts, the connect, the
// receive at the head of its queue and as many queued sends as fit.
void serveSocket(Socket handle, std::uint32_t events);

void releaseLoop(Loop* loop);

}  // namespace lumesk::platform::posix
