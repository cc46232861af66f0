// Internal to the POSIX layer, its ground floor: the socket handle table and
// each socket's entry with its two locks. It knows nothing of ports or loops.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "platform/platform.h"
#include "platform/posix/operation.h"

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

// Makes the handle stale: later calls with it are turned away. With both of
// the entry's locks held.
void retireEntry(SocketEntry* e);
// Gives a retired handle's entry back to the table.
void freeEntry(Socket h);

}  // namespace lumesk::platform::posix
