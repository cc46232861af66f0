// Windows side of the OS layer: thin wrappers over Winsock 2, IOCP, mswsock
// extensions, IP Helper and Win32 heaps.
#include "platform/platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

// winsock2.h must precede windows.h, or the old winsock.h gets pulled in.
#include <winsock2.h>

#include <iphlpapi.h>
#include <mswsock.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <new>

#include "platform/live_count.h"

namespace lumesk::platform {

struct CompletionPort {
    HANDLE handle;
};

struct HeapObject {
    HANDLE heap;
    bool process;
    LiveCount live;
};

namespace {

// Not in every SDK's headers.
constexpr DWORD kErrorHandlesClosed = 676;
constexpr int kReuseUnicastPort = 0x3007;  // SO_REUSE_UNICASTPORT, Windows 10 and later

constexpr DWORD kAddressSlot = sizeof(sockaddr_in) + 16;  // what AcceptEx asks per address

// What we keep inside an Overlapped. The system OVERLAPPED comes first so the
// pointer the port hands back is the caller's Overlapped itself.
struct Record {
    OVERLAPPED system;
    unsigned char* peerBlock;
    unsigned char acceptOutput[2 * kAddressSlot];
};

static_assert(sizeof(Record) <= sizeof(Overlapped::storage), "Record must fit in Overlapped");
static_assert(alignof(Record) <= alignof(Overlapped), "Record needs stronger alignment");
static_assert(offsetof(Record, system) == 0, "OVERLAPPED must be the first member");
static_assert(offsetof(Overlapped, storage) == 0, "storage must start the Overlapped");

std::atomic<std::size_t> gOpenSockets{0};
thread_local int tLastSocketError = 0;

const GUID kAcceptExId = WSAID_ACCEPTEX;
const GUID kConnectExId = WSAID_CONNECTEX;
std::atomic<LPFN_ACCEPTEX> gAcceptEx{nullptr};
std::atomic<LPFN_CONNECTEX> gConnectEx{nullptr};

SOCKET toSystem(Socket socket) {
    return socket == kNoSocket ? INVALID_SOCKET : static_cast<SOCKET>(socket);
}

Socket fromSystem(SOCKET socket) {
    return socket == INVALID_SOCKET ? kNoSocket : static_cast<Socket>(socket);
}

// Starts a fresh record for a new operation; the OVERLAPPED must be zero
// before the system sees it.
Record* beginRecord(Overlapped* overlapped) {
    return ::new (static_cast<void*>(overlapped->storage)) Record{};
}

OVERLAPPED* systemOverlapped(Overlapped* overlapped) {
    return reinterpret_cast<OVERLAPPED*>(overlapped->storage);
}

Overlapped* fromSystemOverlapped(OVERLAPPED* overlapped) {
    return reinterpret_cast<Overlapped*>(overlapped);
}

sockaddr_in makeAddress(std::uint32_t addressNet, std::uint16_t portHost) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(portHost);
    address.sin_addr.s_addr = addressNet;
    return address;
}

int resultOf(int rc) {
    return rc == SOCKET_ERROR ? WSAGetLastError() : 0;
}

// A relay passes each chunk on as it comes: small answers must not wait for
// the peer's delayed acknowledgement (Nagle), up to 200 ms against Windows.
void setNoDelay(SOCKET socket) {
    const BOOL on = TRUE;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof(on));
}

// Overlapped starts: pending is as good as done, the completion comes through the port.
int overlappedResult(bool started) {
    if (started) return 0;
    int code = WSAGetLastError();
    return code == WSA_IO_PENDING ? 0 : code;
}

// The extension pointers are per provider, but every socket here is plain
// IPv4 TCP, so the first one loaded serves all. Racing loaders store the same value.
template <typename Fn>
int loadExtension(std::atomic<Fn>& slot, SOCKET socket, GUID guid, Fn& out) {
    out = slot.load(std::memory_order_acquire);
    if (out != nullptr) return 0;
    Fn loaded = nullptr;
    DWORD bytes = 0;
    if (WSAIoctl(socket, SIO_GET_EXTENSION_FUNCTION_POINTER, &guid, sizeof(guid), &loaded,
                 sizeof(loaded), &bytes, nullptr, nullptr) == SOCKET_ERROR) {
        return WSAGetLastError();
    }
    if (loaded == nullptr) return WSAEOPNOTSUPP;
    slot.store(loaded, std::memory_order_release);
    out = loaded;
    return 0;
}

// A failed record reports the Win32 code translated from the kernel status;
// the layers above speak Winsock, so translate the socket-related ones the way
// Winsock itself does.
int toWinsockError(DWORD code) {
    switch (code) {
        case ERROR_NETNAME_DELETED:
        case ERROR_UNEXP_NET_ERR:  // how Wine fails an accept whose client reset first
            return WSAECONNRESET;
        case ERROR_CONNECTION_ABORTED:
            return WSAECONNABORTED;
        case ERROR_CONNECTION_REFUSED:
        case ERROR_PORT_UNREACHABLE:
            return WSAECONNREFUSED;
        case ERROR_NETWORK_UNREACHABLE:
        case ERROR_PROTOCOL_UNREACHABLE:
            return WSAENETUNREACH;
        case ERROR_HOST_UNREACHABLE:
            return WSAEHOSTUNREACH;
        case ERROR_SEM_TIMEOUT:
            return WSAETIMEDOUT;
        case ERROR_CONNECTION_INVALID:
            return WSAENOTCONN;
        case ERROR_GRACEFUL_DISCONNECT:
            return WSAEDISCON;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_NO_SYSTEM_RESOURCES:
            return WSAENOBUFS;
        case ERROR_INVALID_HANDLE:
            return WSAENOTSOCK;
        case ERROR_INVALID_PARAMETER:
            return WSAEINVAL;
        case ERROR_ACCESS_DENIED:
            return WSAEACCES;
        case kErrorHandlesClosed:  // Wine's code for I/O cut short by closesocket
            return WSA_OPERATION_ABORTED;
        default:
            return static_cast<int>(code);
    }
}

}  // namespace

int startup() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 0), &data);
}

int processorCount() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return static_cast<int>(info.dwNumberOfProcessors);
}

PortHandle createPort(PortHandle /*shareWith*/) {
    HANDLE handle = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
    if (handle == nullptr) return nullptr;
    auto* port = new (std::nothrow) CompletionPort{handle};
    if (port == nullptr) CloseHandle(handle);
    return port;
}

void closePort(PortHandle port) {
    if (port == nullptr) return;
    CloseHandle(port->handle);
    delete port;
}

bool associate(Socket socket, PortHandle port, std::uintptr_t key) {
    if (port == nullptr) return false;
    HANDLE handle = reinterpret_cast<HANDLE>(toSystem(socket));
    return CreateIoCompletionPort(handle, port->handle, static_cast<ULONG_PTR>(key), 0) != nullptr;
}

bool dequeue(PortHandle port, std::uint32_t timeoutMs, Completion& out) {
    out = Completion{};
    if (port == nullptr) {
        out.error = ERROR_INVALID_HANDLE;
        return false;
    }
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* overlapped = nullptr;
    BOOL ok = GetQueuedCompletionStatus(port->handle, &bytes, &key, &overlapped,
                                        static_cast<DWORD>(timeoutMs));
    DWORD code = ok ? 0 : GetLastError();
    out.ok = ok != FALSE;
    out.bytes = static_cast<std::uint32_t>(bytes);
    out.key = static_cast<std::uintptr_t>(key);
    out.port = port;
    out.overlapped = overlapped != nullptr ? fromSystemOverlapped(overlapped) : nullptr;
    if (!ok) {
        // Without a record this is the wait's own failure (time-out, closed port).
        out.error = overlapped != nullptr ? toWinsockError(code) : static_cast<int>(code);
    }
    return out.ok;
}

bool postPacket(PortHandle port, std::uint32_t bytes, std::uintptr_t key, Overlapped* overlapped) {
    if (port == nullptr) return false;
    OVERLAPPED* system = overlapped != nullptr ? systemOverlapped(overlapped) : nullptr;
    return PostQueuedCompletionStatus(port->handle, static_cast<DWORD>(bytes),
                                      static_cast<ULONG_PTR>(key), system) != FALSE;
}

// Windows fills an AcceptEx target in place, so it needs nothing special.
Socket createSocket(bool /*acceptTarget*/) {
    SOCKET socket = WSASocketA(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
    if (socket == INVALID_SOCKET) {
        tLastSocketError = WSAGetLastError();
        return kNoSocket;
    }
    gOpenSockets.fetch_add(1, std::memory_order_relaxed);
    return fromSystem(socket);
}

int lastSocketError() {
    return tLastSocketError;
}

int closeSocket(Socket socket) {
    if (socket == kNoSocket) return WSAENOTSOCK;
    SOCKET system = toSystem(socket);
    // closesocket alone leaves Wine's pending sends waiting until the peer
    // goes; cancelling first fails every pending operation through the port
    // at once, as closesocket does by itself on Windows.
    CancelIoEx(reinterpret_cast<HANDLE>(system), nullptr);
    if (closesocket(system) == SOCKET_ERROR) return WSAGetLastError();
    gOpenSockets.fetch_sub(1, std::memory_order_relaxed);
    return 0;
}

int bindSocket(Socket socket, std::uint32_t addressNet, std::uint16_t portHost) {
    if (addressNet == 0 && portHost == 0) {
        // Bound only for ConnectEx: without this the bind takes a port no other
        // socket may use, and with closed relays in TIME_WAIT the ports run out
        // ("10055") at a hundred-odd new relays a second. The port is then chosen
        // at the connect, per destination, as connect does by itself. Systems
        // before Windows 10 do not know the option; they keep the old way.
        const DWORD on = 1;
        setsockopt(toSystem(socket), SOL_SOCKET, kReuseUnicastPort,
                   reinterpret_cast<const char*>(&on), sizeof(on));
    }
    sockaddr_in address = makeAddress(addressNet, portHost);
    return resultOf(
        bind(toSystem(socket), reinterpret_cast<const sockaddr*>(&address), sizeof(address)));
}

int listenSocket(Socket socket, int backlog) {
    return resultOf(listen(toSystem(socket), backlog));
}

int localAddress(Socket socket, std::uint32_t& addressNet, std::uint16_t& portHost) {
    sockaddr_in address{};
    int length = sizeof(address);
    if (getsockname(toSystem(socket), reinterpret_cast<sockaddr*>(&address), &length) ==
        SOCKET_ERROR) {
        return WSAGetLastError();
    }
    addressNet = address.sin_addr.s_addr;
    portHost = ntohs(address.sin_port);
    return 0;
}

int connectSocket(Socket socket, std::uint32_t addressNet, std::uint16_t portHost) {
    sockaddr_in address = makeAddress(addressNet, portHost);
    return resultOf(
        connect(toSystem(socket), reinterpret_cast<const sockaddr*>(&address), sizeof(address)));
}

int acceptAsync(Socket listener, Socket target, unsigned char* peerBlock, Overlapped* overlapped) {
    SOCKET listening = toSystem(listener);
    LPFN_ACCEPTEX acceptEx = nullptr;
    if (int code = loadExtension(gAcceptEx, listening, kAcceptExId, acceptEx)) {
        return code;
    }
    Record* record = beginRecord(overlapped);
    record->peerBlock = peerBlock;
    DWORD bytes = 0;
    // Where the provider puts the addresses in this buffer varies (Wine differs
    // from Windows), so acceptFinish asks the socket for the peer instead.
    BOOL started = acceptEx(listening, toSystem(target), record->acceptOutput, 0, kAddressSlot,
                            kAddressSlot, &bytes, &record->system);
    return overlappedResult(started != FALSE);
}

int acceptFinish(Socket listener, Socket target, unsigned char* peerBlock) {
    SOCKET listening = toSystem(listener);
    SOCKET accepted = toSystem(target);
    if (setsockopt(accepted, SOL_SOCKET, SO_UPDATE_ACCEPT_CONTEXT,
                   reinterpret_cast<const char*>(&listening), sizeof(listening)) == SOCKET_ERROR) {
        return WSAGetLastError();
    }
    setNoDelay(accepted);
    if (peerBlock == nullptr) return 0;
    sockaddr_in peer{};
    int length = sizeof(peer);
    if (getpeername(accepted, reinterpret_cast<sockaddr*>(&peer), &length) == SOCKET_ERROR) {
        return WSAGetLastError();
    }
    std::memset(peer.sin_zero, 0, sizeof(peer.sin_zero));
    std::memcpy(peerBlock + kPeerAddressOffset, &peer, sizeof(peer));
    return 0;
}

static_assert(kPeerAddressOffset + sizeof(sockaddr_in) <= kPeerBlockSize,
              "sockaddr_in must fit in the peer block");

int receiveAsync(Socket socket, char* buffer, std::uint32_t length, Overlapped* overlapped) {
    Record* record = beginRecord(overlapped);
    WSABUF slice{static_cast<ULONG>(length), buffer};
    DWORD flags = 0;
    int rc = WSARecv(toSystem(socket), &slice, 1, nullptr, &flags, &record->system, nullptr);
    return overlappedResult(rc != SOCKET_ERROR);
}

// A zero-byte receive: it takes no bytes, and completes when bytes or the
// peer's end arrive (at once if some wait) or when the connection fails.
// Windows drops waiting bytes at a reset, so the receive then fails; Wine
// keeps them readable and reports the reset only as a poll error, so that is
// asked first (without waiting, and reading nothing). The poll's hang-up is
// the peer's end (a graceful close) behind bytes that wait.
int watchAsync(Socket socket, Overlapped* overlapped) {
    WSAPOLLFD state{toSystem(socket), POLLRDNORM, 0};
    if (WSAPoll(&state, 1, 0) > 0) {
        if (state.revents & POLLERR) return WSAECONNRESET;
        if (state.revents & POLLHUP) return kWatchPeerEnded;
    }
    Record* record = beginRecord(overlapped);
    static char none = 0;
    WSABUF slice{0, &none};
    DWORD flags = 0;
    int rc = WSARecv(toSystem(socket), &slice, 1, nullptr, &flags, &record->system, nullptr);
    return overlappedResult(rc != SOCKET_ERROR);
}

int sendAsync(Socket socket, const char* buffer, std::uint32_t length, Overlapped* overlapped,
              bool* sentAtOnce) {
    Record* record = beginRecord(overlapped);
    // WSASend only reads the buffer; WSABUF just is not const-qualified.
    WSABUF slice{static_cast<ULONG>(length), const_cast<char*>(buffer)};
    DWORD sent = 0;
    int rc = WSASend(toSystem(socket), &slice, 1, &sent, 0, &record->system, nullptr);
    if (sentAtOnce) *sentAtOnce = rc == 0 && sent == length;
    return overlappedResult(rc != SOCKET_ERROR);
}

// Every send goes through the port here, as the service was designed for.
int sendNow(Socket, const char*, std::uint32_t, std::uint32_t& taken) {
    taken = 0;
    return 0;
}

int connectAsync(Socket socket, std::uint32_t addressNet, std::uint16_t portHost,
                 Overlapped* overlapped) {
    // Windows refuses 0.0.0.0 by itself; Wine hands it to a system that takes
    // it for this machine.
    if (addressNet == 0) return kErrAddrNotAvail;
    SOCKET system = toSystem(socket);
    LPFN_CONNECTEX connectEx = nullptr;
    if (int code = loadExtension(gConnectEx, system, kConnectExId, connectEx)) {
        return code;
    }
    setNoDelay(system);
    Record* record = beginRecord(overlapped);
    sockaddr_in address = makeAddress(addressNet, portHost);
    BOOL started = connectEx(system, reinterpret_cast<const sockaddr*>(&address), sizeof(address),
                             nullptr, 0, nullptr, &record->system);
    return overlappedResult(started != FALSE);
}

int connectFinish(Socket socket) {
    return resultOf(
        setsockopt(toSystem(socket), SOL_SOCKET, SO_UPDATE_CONNECT_CONTEXT, nullptr, 0));
}

int shutdownSend(Socket socket) {
    return ::shutdown(toSystem(socket), SD_SEND) == 0 ? 0 : WSAGetLastError();
}

int readNoDelay(Socket socket, bool& on) {
    BOOL value = FALSE;
    int length = sizeof(value);
    if (getsockopt(toSystem(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&value),
                   &length) == SOCKET_ERROR) {
        return WSAGetLastError();
    }
    on = value != FALSE;
    return 0;
}

std::uint32_t parseIPv4(const std::string& text) {
    return static_cast<std::uint32_t>(inet_addr(text.c_str()));
}

std::string formatIPv4(std::uint32_t addressNet) {
    in_addr address{};
    address.s_addr = addressNet;
    const char* text = inet_ntoa(address);
    return text != nullptr ? std::string(text) : std::string();
}

std::uint16_t toNetwork16(std::uint16_t value) {
    return htons(value);
}
std::uint16_t fromNetwork16(std::uint16_t value) {
    return ntohs(value);
}

std::vector<std::uint32_t> localAddressTable() {
    constexpr std::size_t kRows = 255;
    constexpr std::size_t kBytes = sizeof(MIB_IPADDRTABLE) + kRows * sizeof(MIB_IPADDRROW);
    // MIB_IPADDRTABLE carries one row itself, hence the extra.
    constexpr std::size_t kCapacity = kRows + 1;
    std::vector<std::uint64_t> storage((kBytes + sizeof(std::uint64_t) - 1) /
                                       sizeof(std::uint64_t));
    auto* table = reinterpret_cast<MIB_IPADDRTABLE*>(storage.data());
    ULONG size = static_cast<ULONG>(kBytes);
    GetIpAddrTable(table, &size, TRUE);
    // The rows of the unsorted call are the ones used; codes are ignored on purpose.
    size = static_cast<ULONG>(kBytes);
    GetIpAddrTable(table, &size, FALSE);

    std::size_t count = table->dwNumEntries;
    if (count > kCapacity) count = kCapacity;
    std::vector<std::uint32_t> addresses;
    addresses.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        addresses.push_back(static_cast<std::uint32_t>(table->table[i].dwAddr));
    }
    return addresses;
}

HeapHandle heapCreate() {
    HANDLE heap = HeapCreate(HEAP_GENERATE_EXCEPTIONS, 0, 0);
    if (heap == nullptr) return nullptr;
    auto* object = new (std::nothrow) HeapObject{heap, false, {}};
    if (object == nullptr) HeapDestroy(heap);
    return object;
}

HeapHandle processHeap() {
    // One shared object: the process heap is never destroyed.
    static HeapObject object{GetProcessHeap(), true, {}};
    return object.heap != nullptr ? &object : nullptr;
}

void heapDestroy(HeapHandle heap) {
    if (heap == nullptr || heap->process) return;
    if (heap->heap != nullptr) HeapDestroy(heap->heap);
    delete heap;
}

void* heapAlloc(HeapHandle heap, std::size_t size, bool zeroed) {
    if (heap == nullptr || heap->heap == nullptr) return nullptr;
    void* block = HeapAlloc(heap->heap, zeroed ? HEAP_ZERO_MEMORY : 0, size);
    if (block != nullptr) heap->live.add(1);
    return block;
}

bool heapFree(HeapHandle heap, void* block) {
    if (heap == nullptr || heap->heap == nullptr || block == nullptr) return false;
    if (!HeapFree(heap->heap, 0, block)) return false;
    heap->live.add(-1);
    return true;
}

std::size_t heapLiveBlocks(HeapHandle heap) {
    return heap != nullptr ? heap->live.read() : 0;
}

void heapCompact(HeapHandle heap) {
    if (heap != nullptr && heap->heap != nullptr) HeapCompact(heap->heap, 0);
}

std::size_t openSocketCount() {
    return gOpenSockets.load(std::memory_order_relaxed);
}

}  // namespace lumesk::platform
