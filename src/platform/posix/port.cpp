// Where sockets meet their completion port: a socket joins a port, and a
// wait on the port takes a completion or, as the loop's poller, serves the
// sockets that are ready. The top of the POSIX layer: the loop (loop.cpp)
// and the operations (tcp.cpp) are joined only here.
#include <mutex>

#include "platform/posix/loop.h"
#include "platform/posix/socket_table.h"
#include "platform/posix/tcp.h"

namespace lumesk::platform {

using namespace posix;

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

bool dequeue(PortHandle port, std::uint32_t timeoutMs, Completion& out) {
    out = Completion{};
    Packet p{};
    if (!waitForPacket(port, timeoutMs, serveSocket, p)) return false;
    out.ok = p.error == 0;
    out.bytes = p.bytes;
    out.key = p.key;
    out.overlapped = p.overlapped;
    out.error = p.error;
    out.port = p.port;
    return out.ok;
}

}  // namespace lumesk::platform
