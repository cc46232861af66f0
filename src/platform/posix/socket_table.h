// Internal to the POSIX layer: the socket handle table, each socket's entry
// with its two locks, and the operations pending on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

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
    PendingOp* watch = nullptr;  // waits for an error or hang-up (watchAsync)
};

// Locks the entry of a live handle with `mutex`, for its state, receives,
// accepts and connect; null (and nothing locked) for a stale handle.
SocketEntry* lockLive(Socket h, std::unique_lock<std::mutex>& lock);
// The same with `sendMutex`, for what only sends touch.
SocketEntry* lockLiveSends(Socket h, std::unique_lock<std::mutex>& lock);

// Fails every operation of the queue through its port (see complete).
void failAll(OpQueue& q, int error, bool quiet = false);

}  // namespace lumesk::platform::posix
