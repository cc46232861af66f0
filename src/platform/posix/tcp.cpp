// TCP operations on the POSIX layer. Every operation is tried at once on
// the posting thread; only when it would block does it wait in the socket's
// queue for an epoll edge, which the loop's poller serves (serveSocket).
// Whoever finishes it queues the completion on its port (loop.cpp).
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "platform/posix/errors.h"
#include "platform/posix/loop.h"
#include "platform/posix/tcp.h"

namespace lumesk::platform {
namespace posix {

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

namespace {

enum class Attempt { Done, WouldBlock, Failed };

Attempt tryReceive(SocketEntry* e, PendingOp* op, std::uint32_t& bytes, int& error) {
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

// Fails every operation of the queue through its port (see complete).
void failAll(OpQueue& q, int error, bool quiet = false) {
    while (PendingOp* op = q.pop()) complete(op, 0, error, quiet);
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

// The watch ends on a fault or a hang-up both ways, never on bytes or on the
// peer's end alone: those wait for the receive that comes after the pause.
bool serveWatch(SocketEntry* e, short revents) {
    if (!(revents & (POLLERR | POLLHUP))) {
        if (!(revents & POLLRDHUP)) return false;
        PendingOp* op = e->watch;
        e->watch = nullptr;
        complete(op, 1, 0);  // the peer's end, behind bytes nobody took
        return true;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(e->fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    // A read may have taken the code already: a fault without one is a reset.
    if (err == 0 && (revents & POLLERR)) err = ECONNRESET;
    PendingOp* op = e->watch;
    e->watch = nullptr;
    complete(op, 0, err == 0 ? 0 : mapErrno(err));
    return true;
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
        if (e->watch && (events & (EPOLLERR | EPOLLHUP | EPOLLRDHUP))) {
            serveWatch(e, static_cast<short>(((events & EPOLLERR) ? POLLERR : 0) |
                                             ((events & EPOLLHUP) ? POLLHUP : 0) |
                                             ((events & EPOLLRDHUP) ? POLLRDHUP : 0)));
        }
    }
    installAll(accepted);
    if (events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) {
        std::unique_lock<std::mutex> lock;
        SocketEntry* e = lockLiveSends(handle, lock);
        if (e && e->fd >= 0 && !e->sends.empty()) serveSends(e);
    }
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
    keepSpare();
    return 0;
}

int closeSocket(Socket socket) {
    std::unique_lock<std::mutex> lock;
    SocketEntry* e = lockLive(socket, lock);
    if (!e) return kErrNotSocket;
    std::unique_lock<std::mutex> sendLock(e->sendMutex);
    retireEntry(e);
    // Every pending operation fails through its port, once. Whoever closed
    // the socket is not waiting for these: they wake nobody (see complete).
    failAll(e->receives, kErrOperationAborted, true);
    failAll(e->sends, kErrOperationAborted, true);
    failAll(e->accepts, kErrOperationAborted, true);
    if (e->connect) {
        complete(e->connect, 0, kErrOperationAborted, true);
        e->connect = nullptr;
    }
    if (e->watch) {
        complete(e->watch, 0, kErrOperationAborted, true);
        e->watch = nullptr;
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
    freeEntry(socket);
    return 0;
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
        if (!onLoopThread(e->port->loop) && watchFd(e, socket, EPOLL_CTL_MOD)) {
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

int watchAsync(Socket socket, Overlapped* overlapped) {
    std::unique_lock<std::mutex> lock;
    SocketEntry* e = lockLive(socket, lock);
    if (!e) return kErrNotSocket;
    if (!e->active || e->fd < 0) return kErrNotConnected;
    if (!e->port || !overlapped || e->watch) return kErrInvalid;
    PendingOp* op = new (opOf(overlapped)) PendingOp;
    op->port = e->port;
    op->key = e->key;
    e->watch = op;
    // The edge may have passed already: look at the state now, under the
    // lock the poller serves edges with.
    pollfd p{e->fd, POLLRDHUP, 0};
    while (::poll(&p, 1, 0) < 0 && errno == EINTR) {
    }
    serveWatch(e, p.revents);
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

int resetOnClose(Socket socket) {
    std::unique_lock<std::mutex> lock;
    SocketEntry* e = lockLive(socket, lock);
    if (!e) return kErrNotSocket;
    if (e->fd < 0) return kErrInvalid;
    const linger abort{1, 0};
    return ::setsockopt(e->fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort) == 0 ? 0
                                                                                 : mapErrno(errno);
}

int readNoDelay(Socket socket, bool& on) {
    std::unique_lock<std::mutex> lock;
    SocketEntry* e = lockLive(socket, lock);
    if (!e) return kErrNotSocket;
    if (e->fd < 0) return kErrInvalid;
    int value = 0;
    socklen_t len = sizeof value;
    if (::getsockopt(e->fd, IPPROTO_TCP, TCP_NODELAY, &value, &len) != 0) return mapErrno(errno);
    on = value != 0;
    return 0;
}

}  // namespace lumesk::platform
