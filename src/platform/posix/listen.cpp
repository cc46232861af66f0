// The listening side of the POSIX layer: bind, listen and accepts, with the
// descriptor kept in reserve for a process that runs out of them.
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
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
namespace {

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

// One descriptor kept in reserve for a process that has run out: given up for
// a moment, it lets the waiting connections be taken and closed (refused at
// once) instead of left in the queue. Process-wide, as the descriptor table is.
std::mutex spareMutex;
int spareFd = -1;

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

}  // namespace

void keepSpare() {
    std::lock_guard<std::mutex> hold(spareMutex);
    if (spareFd < 0) spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

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

}  // namespace posix

using namespace posix;

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

}  // namespace lumesk::platform
