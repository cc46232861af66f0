// Win32 codes to Winsock codes: a message reads the same on both platforms.
#include "platform/win32/errors.h"

#include "platform/platform.h"

namespace lumesk::platform {
namespace win32 {
namespace {

constexpr DWORD kErrorHandlesClosed = 676;  // not in every SDK's headers
thread_local int tLastSocketError = 0;

}  // namespace

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

void setSocketError(int code) {
    tLastSocketError = code;
}

}  // namespace win32

int lastSocketError() {
    return win32::tLastSocketError;
}

}  // namespace lumesk::platform
