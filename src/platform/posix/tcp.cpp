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

namespace lumesk::platform {
namespace posix {
namespace {

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
    posix::keepSpare();
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
