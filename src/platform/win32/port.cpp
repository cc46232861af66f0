// Windows side of the completion port: IOCP as it is.
#include <winsock2.h>

#include <windows.h>

#include <new>

#include "platform/platform.h"
#include "platform/win32/errors.h"
#include "platform/win32/operation.h"
#include "platform/win32/tcp.h"

namespace lumesk::platform {

struct CompletionPort {
    HANDLE handle;
};

using namespace win32;

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

}  // namespace lumesk::platform
