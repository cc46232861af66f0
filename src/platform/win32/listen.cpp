// Windows side of the listening calls: bind, listen and AcceptEx.
#include <winsock2.h>

#include <mswsock.h>
#include <windows.h>

#include <atomic>
#include <cstring>

#include "platform/platform.h"
#include "platform/win32/operation.h"
#include "platform/win32/tcp.h"

namespace lumesk::platform {
namespace {

constexpr int kReuseUnicastPort = 0x3007;  // SO_REUSE_UNICASTPORT, Windows 10 and later
const GUID kAcceptExId = WSAID_ACCEPTEX;
std::atomic<LPFN_ACCEPTEX> gAcceptEx{nullptr};

}  // namespace

using namespace win32;

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

}  // namespace lumesk::platform
