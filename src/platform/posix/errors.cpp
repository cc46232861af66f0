// errno to Winsock codes: a message reads the same on both platforms.
#include "platform/posix/errors.h"

#include <errno.h>

#include "platform/platform.h"

namespace lumesk::platform {
namespace posix {

namespace {
thread_local int tlsSocketError = 0;
}  // namespace

int mapErrno(int e) {
    switch (e) {
        case 0:
            return 0;
        case EINTR:
            return kErrIntr;
        case EACCES:
        case EPERM:
            return kErrAccess;
        case EFAULT:
            return kErrFault;
        case EINVAL:
            return kErrInvalid;
        case EMFILE:
        case ENFILE:
            return kErrTooManySockets;
        case EAGAIN:
            return kErrWouldBlock;
        case EINPROGRESS:
            return kErrInProgress;
        case EALREADY:
            return 10037;
        case EBADF:
        case ENOTSOCK:
            return kErrNotSocket;
        case EDESTADDRREQ:
            return 10039;
        case EMSGSIZE:
            return 10040;
        case EPROTOTYPE:
            return 10041;
        case ENOPROTOOPT:
            return 10042;
        case EPROTONOSUPPORT:
            return 10043;
        case EOPNOTSUPP:
            return 10045;
        case EAFNOSUPPORT:
            return 10047;
        case EADDRINUSE:
            return kErrAddrInUse;
        case EADDRNOTAVAIL:
            return 10049;
        case ENETDOWN:
            return 10050;
        case ENETUNREACH:
            return 10051;
        case ENETRESET:
            return 10052;
        case ECONNABORTED:
            return 10053;
        case ECONNRESET:
        case EPIPE:
            return kErrConnReset;
        case ENOBUFS:
        case ENOMEM:
            return kErrNoBufs;
        case EISCONN:
            return 10056;
        case ENOTCONN:
            return kErrNotConnected;
        case ESHUTDOWN:
            return 10058;
        case ETIMEDOUT:
            return kErrTimedOut;
        case ECONNREFUSED:
            return kErrConnRefused;
        case EHOSTDOWN:
            return 10064;
        case EHOSTUNREACH:
            return 10065;
        default:
            return 10000 + e;  // no Winsock twin: keep it recognisable
    }
}

void setSocketError(int code) {
    tlsSocketError = code;
}

}  // namespace posix

int lastSocketError() {
    return posix::tlsSocketError;
}

}  // namespace lumesk::platform
