// Internal to the Windows layer: what the socket calls (tcp.cpp), the
// listening side (listen.cpp) and the port (port.cpp) share.
#pragma once

#include <winsock2.h>

#include <mswsock.h>
#include <windows.h>

#include <atomic>
#include <cstdint>

#include "platform/inet.h"
#include "platform/platform.h"

namespace lumesk::platform::win32 {

inline SOCKET toSystem(Socket socket) {
    return socket == kNoSocket ? INVALID_SOCKET : static_cast<SOCKET>(socket);
}

inline Socket fromSystem(SOCKET socket) {
    return socket == INVALID_SOCKET ? kNoSocket : static_cast<Socket>(socket);
}

// A call's result as a Winsock code: 0, or the thread's last error.
int resultOf(int rc);
// A relay passes each chunk on as it comes: small answers must not wait for
// the peer's delayed acknowledgement (Nagle), up to 200 ms against Windows.
void setNoDelay(SOCKET socket);
// Overlapped starts: pending is as good as done, the completion comes through the port.
int overlappedResult(bool started);

// The extension pointers are per provider, but every socket here is plain
// IPv4 TCP, so the first one loaded serves all. Racing loaders store the same value.
template <typename Fn>
inline int loadExtension(std::atomic<Fn>& slot, SOCKET socket, GUID guid, Fn& out) {
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

}  // namespace lumesk::platform::win32
