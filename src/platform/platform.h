// The small OS layer under the socket service: overlapped TCP sockets, the
// completion port, a private heap and a few address helpers. On Windows these
// are thin wrappers over Winsock 2 / IOCP / HeapCreate; on POSIX they are our
// own epoll-based layer with the same semantics: posix/loop.cpp for the port
// and who is woken when, posix/tcp.cpp for the operations.
//
// Conventions shared by both implementations:
//  - Results are Winsock error codes (0 = success), also on POSIX.
//  - An overlapped operation that returns 0 is under way: its completion,
//    whether immediate or not, arrives through the completion port exactly
//    once. Any other result means nothing was started and no completion comes.
//  - Closing a socket fails every operation still pending on it, through the
//    port, once each.
//  - A send completes only when all of its bytes are written; sends on one
//    socket complete in the order they were posted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace lumesk::platform {

// Opaque socket handle. On POSIX it carries a generation, so a stale handle can
// never reach a descriptor number the OS handed out again.
using Socket = std::uint64_t;
constexpr Socket kNoSocket = 0;

struct CompletionPort;
using PortHandle = CompletionPort*;

struct HeapObject;
using HeapHandle = HeapObject*;

// Winsock codes used by the layers above.
constexpr int kErrIoPending = 997;
constexpr int kErrOperationAborted = 995;
constexpr int kErrIntr = 10004;
constexpr int kErrAccess = 10013;
constexpr int kErrFault = 10014;
constexpr int kErrInvalid = 10022;
constexpr int kErrTooManySockets = 10024;
constexpr int kErrWouldBlock = 10035;
constexpr int kErrInProgress = 10036;
constexpr int kErrNotSocket = 10038;
constexpr int kErrAddrInUse = 10048;
constexpr int kErrAddrNotAvail = 10049;
constexpr int kErrNetReset = 10052;
constexpr int kErrConnAborted = 10053;
constexpr int kErrConnReset = 10054;
constexpr int kErrNoBufs = 10055;
constexpr int kErrNotConnected = 10057;
constexpr int kErrTimedOut = 10060;
constexpr int kErrConnRefused = 10061;
constexpr int kErrNotInitialised = 10093;

constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

// The system's overlapped structure, with room for what each platform keeps
// beside it. It must be the first member of every record handed to the port.
struct Overlapped {
    alignas(16) unsigned char storage[160];
};

// Offset of the peer's sockaddr_in inside a 32-byte peer-address block.
constexpr std::size_t kPeerAddressOffset = 6;
constexpr std::size_t kPeerBlockSize = 32;

// What a wait on the port yielded. `ok` false with a null `overlapped` is a
// time-out (or a failed wait); `ok` false with a record is a failed operation
// whose Winsock code is `error`.
struct Completion {
    bool ok = false;
    std::uint32_t bytes = 0;
    std::uintptr_t key = 0;
    Overlapped* overlapped = nullptr;
    int error = 0;
    PortHandle port = nullptr;  // the port the completion belongs to
};

// Process start: WSAStartup 2.0 on Windows; on POSIX raises the soft descriptor
// limit to the hard one and ignores SIGPIPE. Returns 0 or an error code.
int startup();
// The processors the process may run on (on POSIX its affinity mask).
int processorCount();

// Completion port. A port made with `shareWith` shares that port's event loop
// on POSIX: one epoll set, one queue and the same pollers serve the sockets
// of both, and a wait on either may return a completion of either, with
// `Completion::port` naming whose it is. A packet posted with postPacket is
// only ever returned by a wait on the port it was posted to. On Windows every
// port is its own (`shareWith` is ignored), so `port` is always the waited one.
PortHandle createPort(PortHandle shareWith = nullptr);
// Ends the port: waiting threads return a failed wait. Only for tear-down, after
// every socket associated with it has been closed and every worker has left.
void closePort(PortHandle port);
bool associate(Socket socket, PortHandle port, std::uintptr_t key);
bool dequeue(PortHandle port, std::uint32_t timeoutMs, Completion& out);
bool postPacket(PortHandle port, std::uint32_t bytes, std::uintptr_t key, Overlapped* overlapped);

// Sockets: overlapped IPv4 TCP. `acceptTarget` marks a socket made to receive an
// accepted connection; on POSIX it holds no descriptor until the accept completes.
Socket createSocket(bool acceptTarget = false);
int lastSocketError();  // the code of the last failed createSocket on this thread
int closeSocket(Socket socket);
int bindSocket(Socket socket, std::uint32_t addressNet, std::uint16_t portHost);
int listenSocket(Socket socket, int backlog);
int localAddress(Socket socket, std::uint32_t& addressNet, std::uint16_t& portHost);
int connectSocket(Socket socket, std::uint32_t addressNet, std::uint16_t portHost);  // blocking

// Overlapped operations; see the conventions above.
// The accepted peer's sockaddr_in is written at kPeerAddressOffset of
// `peerBlock` (kPeerBlockSize bytes) by the time acceptFinish returns.
int acceptAsync(Socket listener, Socket target, unsigned char* peerBlock, Overlapped* overlapped);
int acceptFinish(Socket listener, Socket target, unsigned char* peerBlock);
int receiveAsync(Socket socket, char* buffer, std::uint32_t length, Overlapped* overlapped);
// `sentAtOnce`, when given, tells whether every byte was taken at once (as a
// WSASend that returns 0); the completion still comes through the port.
int sendAsync(Socket socket, const char* buffer, std::uint32_t length, Overlapped* overlapped,
              bool* sentAtOnce = nullptr);
// Waits, without reading, for the connection's failure (the peer's reset):
// then it completes with its code. A connection that stops receiving for a
// while posts it so the peer's leaving is still seen. It completes with
// success and 1 byte when the peer's end of stream has come behind the bytes
// that wait (POSIX: the hang-up of its sending; Windows: the poll's hang-up
// when the watch is posted, returned as kWatchPeerEnded without a
// completion). It may also complete with success and 0 bytes when there is
// something to read (Windows: a zero-byte receive, which bytes waiting
// complete at once). After a success post it again only after a pause. One
// at a time per socket.
int watchAsync(Socket socket, Overlapped* overlapped);
constexpr int kWatchPeerEnded = -1;
// Writes what the socket takes now, without waiting and without a
// completion, into `taken`; nothing while posted sends are still queued on it,
// so bytes never pass one another. 0 or a code. (Windows: always nothing.)
int sendNow(Socket socket, const char* buffer, std::uint32_t length, std::uint32_t& taken);
// The socket must be bound and associated with a port first.
int connectAsync(Socket socket, std::uint32_t addressNet, std::uint16_t portHost,
                 Overlapped* overlapped);
int connectFinish(Socket socket);
// Ends sending on a connected socket (a FIN to the peer); receiving goes on.
// Call it only when no send is pending on the socket. 0 or a code.
int shutdownSend(Socket socket);
// The socket's close resets the connection instead of ending it in order, and
// leaves no TIME_WAIT: for passing a peer's reset on. 0 or a code.
int resetOnClose(Socket socket);
// Whether TCP_NODELAY is on: accepted and relay sockets pass each chunk on at
// once. 0 or a code (for tests).
int readNoDelay(Socket socket, bool& on);

// inet_addr / inet_ntoa.
std::uint32_t parseIPv4(const std::string& text);
// A name's first IPv4 address (getaddrinfo): blocks for as long as the
// system's resolver takes. 0 or the resolver's own code.
int resolveIPv4(const std::string& host, std::uint32_t& addressNet);
std::string formatIPv4(std::uint32_t addressNet);
std::uint16_t toNetwork16(std::uint16_t value);
std::uint16_t fromNetwork16(std::uint16_t value);

// The local IPv4 address table, in the system's unsorted order (network byte order).
std::vector<std::uint32_t> localAddressTable();

// Private heaps: zero-filled allocations, unless `zeroed` is false (for bytes
// always written before they are read). Destroy a heap only when it is empty:
// on POSIX blocks still allocated then stay allocated, so leak checkers see them.
HeapHandle heapCreate();
HeapHandle processHeap();
void heapDestroy(HeapHandle heap);
void* heapAlloc(HeapHandle heap, std::size_t size, bool zeroed = true);
bool heapFree(HeapHandle heap, void* block);
std::size_t heapLiveBlocks(HeapHandle heap);  // blocks allocated and not yet freed
// Gives what a heap keeps of freed memory back to the system (for a process
// that has gone quiet after a load).
void heapCompact(HeapHandle heap);

// Sockets open in this process through this layer (for leak checks).
std::size_t openSocketCount();

}  // namespace lumesk::platform
