// Windows side of the socket calls: thin wrappers over Winsock 2 and the
// ConnectEx extension. The listening side is in listen.cpp.
#include <winsock2.h>

#include <mswsock.h>
#include <windows.h>

#include <atomic>
#include <cstddef>

#include "platform/platform.h"
#include "platform/win32/errors.h"
#include "platform/win32/operation.h"
#include "platform/win32/tcp.h"

namespace lumesk::platform {
namespace win32 {
namespace {

std::atomic<std::size_t> gOpenSockets{0};
const GUID kConnectExId = WSAID_CONNECTEX;
std::atomic<LPFN_CONNECTEX> gConnectEx{nullptr};

}  // namespace

int resultOf(int rc) {
    return rc == SOCKET_ERROR ? WSAGetLastError() : 0;
}

void setNoDelay(SOCKET socket) {
    const BOOL on = TRUE;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof(on));
}

int overlappedResult(bool started) {
    if (started) return 0;
    int code = WSAGetLastError();
    return code == WSA_IO_PENDING ? 0 : code;
}

}  // namespace win32

using namespace win32;

int startup() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 0), &data);
}

// Windows fills an AcceptEx target in place, so it needs nothing special.
Socket createSocket(bool /*acceptTarget*/) {
    SOCKET socket = WSASocketA(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
    if (socket == INVALID_SOCKET) {
        setSocketError(WSAGetLastError());
        return kNoSocket;
    }
    gOpenSockets.fetch_add(1, std::memory_order_relaxed);
    return fromSystem(socket);
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

int resetOnClose(Socket socket) {
    const linger abort{1, 0};
    return ::setsockopt(toSystem(socket), SOL_SOCKET, SO_LINGER,
                        reinterpret_cast<const char*>(&abort), sizeof abort) == 0
               ? 0
               : WSAGetLastError();
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

std::size_t openSocketCount() {
    return gOpenSockets.load(std::memory_order_relaxed);
}

}  // namespace lumesk::platform
