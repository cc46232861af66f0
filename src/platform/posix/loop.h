// Internal to the POSIX layer: the event loop the completion ports share.
// Its rules (who polls, who sleeps, who is woken for a packet) are in loop.cpp.
#pragma once

#include <sys/epoll.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/posix/socket_table.h"

namespace lumesk::platform::posix {

struct Packet {
    Overlapped* overlapped;
    std::uint32_t bytes;
    std::uintptr_t key;
    int error;
    CompletionPort* port;  // whose completion it is
};

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

// Queues a completion on the operation's port. Called with the socket's lock
// held, so completions of one socket enter the port in the order they happen.
// A quiet completion wakes nobody when a standby waiter will find it shortly.
void complete(PendingOp* op, std::uint32_t bytes, int error, bool quiet = false);

// The socket's port watches it from now on (EPOLL_CTL_ADD), or looks at it
// again (EPOLL_CTL_MOD): what is ready now comes to the poller as a fresh edge.
bool watchFd(SocketEntry* e, Socket h, int op = EPOLL_CTL_ADD);

// This thread is the loop's poller, or handles a packet of it: what it
// posts now it takes itself when it comes back.
bool onLoopThread(const Loop* loop);

// Drops a reference (an open port or an associated socket); the last one
// frees the loop.
void releaseLoop(Loop* loop);

// What the poller runs for each socket its poll found ready (port.cpp hands
// in tcp.cpp's serveSocket: the loop knows nothing of the operations).
using ServeReady = void (*)(Socket handle, std::uint32_t events);

// One wait on `port`: takes a packet, else sleeps or polls once, until a
// packet is taken (true), the port closes or the time is up.
bool waitForPacket(CompletionPort* port, std::uint32_t timeoutMs, ServeReady serve, Packet& out);

}  // namespace lumesk::platform::posix
