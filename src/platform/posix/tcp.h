// Internal to the POSIX layer: what the TCP operations offer the port, and
// what the listening side (listen.cpp) shares with the rest (tcp.cpp).
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <vector>

#include "platform/inet.h"
#include "platform/posix/socket_table.h"

namespace lumesk::platform::posix {

// Runs what a readiness event allows on the socket: accepts, the connect, the
// receive at the head of its queue and as many queued sends as fit.
void serveSocket(Socket handle, std::uint32_t events);

// The socket's descriptor, made now if it has none yet. 0 or a code.
int ensureFd(SocketEntry* e);
void setFd(SocketEntry* e, int fd);
// The socket listens, connects or is connected: from now on its port polls it.
bool activate(SocketEntry* e, Socket h);
// A relay passes each chunk on as it comes: small writes must not wait for
// the peer's acknowledgement (Nagle), or a request/response stalls 40 ms.
void noDelay(int fd);

// A connection taken for a queued accept, not yet handed to its target.
struct Accepted {
    PendingOp* op;
    int fd;
    sockaddr_in peer;
};
// Takes waiting connections for the listener's queued accepts. They are
// handed to their target sockets (installAll) only once the listener's lock
// is released, so no two socket locks are ever held together.
void serveAccepts(SocketEntry* l, std::vector<Accepted>& out);
void installAll(const std::vector<Accepted>& accepted);
// Keeps a descriptor in reserve for a process that runs out (startup).
void keepSpare();

}  // namespace lumesk::platform::posix
