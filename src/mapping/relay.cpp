// The relay side of the engine: the outbound connect and its bound, the
// pair's forwarding and the closing cascade once a client leaves.
#include "mapping/engine.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <system_error>
#include <utility>

#include "net/error_texts.h"

namespace lumesk::mapping {

using net::IoRecord;
using net::LockHold;

namespace {

constexpr int kSocketAttempts = 10;  // fresh sockets after WSAENOTSOCK
constexpr int kBindAttempts = 10;    // binds after WSAEINVAL

}  // namespace

// ---- relay -------------------------------------------------------------------

bool MappingEngine::openRelay(int n, int slot, IoRecord* client, std::string& errorText) {
    std::string ip;
    std::int32_t port = 0;
    {
        LockHold hold(lock_);
        model::MappingRecord& record = table_.at(n);
        if (record.forward_ip.empty()) record.forward_ip = model::kAnyAddress;
        ip = record.forward_ip;
        port = record.forward_port;
    }
    return openRelayTo(n, slot, client, ip, port, errorText);
}

bool MappingEngine::openRelayTo(int n, int slot, IoRecord* client, std::string ip,
                                std::int32_t port, std::string& errorText) {
    IoRecord* relay = connectOutbound(ip, port, errorText);
    if (!relay) {
        errorText = "转接到[" + model::endpoint(ip, port) + "]错误:" + errorText;
        return false;
    }
    bool slotKept;
    {
        LockHold hold(lock_);
        model::ClientSlot& s = table_.at(n).clients[static_cast<std::size_t>(slot - 1)];
        slotKept = s.connections[0] == client;  // not given up by a delete
        if (slotKept) {
            ctx_.retain(relay);  // the slot's reference
            s.connections[1] = relay;
            s.addresses[1] = ip;
            s.ports[1] = port;
        }
    }
    if (!slotKept) {
        // The mapping was deleted meanwhile; the delete closed the client,
        // whose held bytes, once let go, end it.
        closeConnection(relay);
        ctx_.closeRecord(relay);
        closeConnection(client);
        ctx_.releaseFirstReceive(client);
        return true;
    }
    ctx_.setPartner(relay, client);
    std::uint32_t address = platform::parseIPv4(ip);
    relays_.watchConnect(relay, connectBound);  // before the post: the connect may end at once
    const int code = ctx_.postConnect(relay, address, static_cast<std::uint16_t>(port));
    if (code != 0) relays_.connectEnded(relay);
    if (code == 0) {
        // A stop that ran before the slot named the relay did not close it.
        // Asked of the client's own listener, not of the mapping's record,
        // which names it only once every accept is posted.
        if (!listenerLive(client->parent)) closeConnection(relay);
        return true;
    }
    // Closed before the connect could be posted (a stop, a delete, the
    // client's leaving): cancelled, not failed.
    const bool cancelled = relay->socketClosed.load();
    closeConnection(relay);
    ctx_.closeRecord(relay);
    if (cancelled) {
        closeConnection(client);
        ctx_.releaseFirstReceive(client);
        return true;
    }
    errorText =
        "转接到[" + model::endpoint(ip, port) + "]错误:套接口捆绑错误:" + std::to_string(code);
    return false;
}

IoRecord* MappingEngine::connectOutbound(std::string& ip, std::int32_t port,
                                         std::string& errorText) {
    if (!checkIpText(ip, errorText)) return nullptr;
    if (!client_.started()) {
        errorText = "服务未开启,请先启动服务";
        return nullptr;
    }
    platform::Socket socket = platform::kNoSocket;
    if (!makeConnectedSocket(socket, errorText)) return nullptr;
    IoRecord* relay = ctx_.allocRecord();
    if (!relay) {
        errorText = "创建Overlapped结构 失败";
        platform::closeSocket(socket);
        return nullptr;
    }
    relay->socket = socket;
    if (!client_.adopt(relay)) {
        errorText = "绑定IOCP 错误" + errorText;
        platform::closeSocket(socket);
        relay->socket = platform::kNoSocket;
        ctx_.releaseRecord(relay);
        return nullptr;
    }
    net::setCallback(relay, &MappingEngine::relayHandler, this);
    const std::int32_t family = 2;
    std::memcpy(relay->peerBlock, &family, 4);
    const std::uint16_t familyShort = 2;
    const std::uint16_t portNet = platform::toNetwork16(static_cast<std::uint16_t>(port));
    const std::uint32_t address = platform::parseIPv4(ip);
    std::memcpy(relay->peerBlock + platform::kPeerAddressOffset, &familyShort, 2);
    std::memcpy(relay->peerBlock + platform::kPeerAddressOffset + 2, &portNet, 2);
    std::memcpy(relay->peerBlock + platform::kPeerAddressOffset + 4, &address, 4);
    return relay;
}

bool MappingEngine::makeConnectedSocket(platform::Socket& socket, std::string& errorText) {
    // The connect itself is overlapped (postConnect): a dead target holds no worker.
    for (int attempt = 0; attempt < kSocketAttempts; ++attempt) {
        socket = platform::createSocket();
        if (socket == platform::kNoSocket) {
            errorText = "创建套接字失败:" + std::to_string(platform::lastSocketError());
            return false;
        }
        int code = 0;
        for (int bind = 0; bind < kBindAttempts; ++bind) {
            code = platform::bindSocket(socket, 0, 0);
            if (code != platform::kErrInvalid) break;
        }
        if (code == 0) return true;
        platform::closeSocket(socket);
        if (code != platform::kErrNotSocket) {
            errorText = "套接口捆绑错误:" + std::to_string(code);
            socket = platform::kNoSocket;
            return false;
        }
    }
    errorText = "套接口捆绑错误:" + std::to_string(platform::kErrNotSocket);
    socket = platform::kNoSocket;
    return false;
}

std::string MappingEngine::relayPrefix(IoRecord* relay) {
    IoRecord* client = relay->partner.load();
    const int n = net::tag(client);
    const int slot = net::userValue(client);
    if (!model::MappingTable::validNumber(n) || slot < 1 || slot > model::kClientSlots) {
        return "转接到[]错误:";
    }
    LockHold hold(lock_);
    const model::ClientSlot& s =
        std::as_const(table_.at(n).clients)[static_cast<std::size_t>(slot - 1)];
    return "转接到[" + model::endpoint(s.addresses[1], s.ports[1]) + "]错误:";
}

bool MappingEngine::closedHereText(const std::string& errorText) {
    return errorText == net::receiveErrorText(platform::kErrNotSocket);
}

void MappingEngine::relayConnected(IoRecord* relay, bool timedOut) {
    IoRecord* client = relay->partner.load();
    // A failed post closes the relay, which lets go of its partner.
    ctx_.retain(client);
    // Read before the pair is linked: once the relay fails, the pair's
    // cascade closes the client too, so its state after says nothing of
    // whether it had left on its own.
    const bool clientLeft = client->closed.load();
    const int n = net::tag(client);
    const int slot = net::userValue(client);
    const std::string prefix = relayPrefix(relay);
    ctx_.setPartner(client, relay);
    proxyRelayed(client, relay);  // before any byte of the target's
    // Paired, then the relay's first receive, then the news: a receive that
    // cannot be posted is reported instead of the relayed event.
    std::string errorText;
    if (ctx_.postReceive(relay, &errorText)) {
        std::lock_guard<std::mutex> order(orderMutex_);
        // A client that has closed is told of no relay: its "left" comes next.
        if (!client->closed.load()) postEngineEvent(EVENT_RELAYED, n, slot, client);
    } else {
        const std::string text = receivePostFailure(prefix, errorText, timedOut, clientLeft,
                                                    !listenerLive(client->parent));
        if (!text.empty()) report(n, slot, client, text);
        closeConnection(client);
    }
    ctx_.releaseFirstReceive(client);  // a client closed meanwhile ends there
    ctx_.releaseRecord(client);
}

std::string MappingEngine::receivePostFailure(const std::string& prefix,
                                              const std::string& errorText, bool timedOut,
                                              bool clientLeft, bool mappingStopped) {
    // The watcher's close is the bound's: a timed-out connect.
    if (timedOut) return prefix + "套接口捆绑错误:" + std::to_string(platform::kErrTimedOut);
    // A relay closed here (the client's leaving, a stop, a delete) failed nothing.
    if (clientLeft || mappingStopped || closedHereText(errorText)) return {};
    return prefix + "投递WSARecv 错误" + errorText;
}

void MappingEngine::relayFailed(IoRecord* relay, int code, bool timedOut) {
    IoRecord* client = relay->partner.load();
    if (!client) return;
    const int n = net::tag(client);
    const int slot = net::userValue(client);
    // A relay closed here before its connect ended (a stop, a delete, the
    // client's leaving) was cancelled, whatever its client had sent: nothing
    // to report. The watcher's close is the bound, reported as timed out.
    const bool cancelled = !timedOut && relay->socketClosed.load();
    const int shown = timedOut ? platform::kErrTimedOut : code;
    if (!cancelled && !client->closed.load()) {
        report(n, slot, client, relayPrefix(relay) + "套接口捆绑错误:" + std::to_string(shown));
    }
    // A proxy's client is told why first; its first receive, once let go,
    // fails on the closed socket and ends it.
    if (proxyAnswered(client, cancelled ? 0 : shown)) {
        ctx_.closeAfterSends(client);
    } else {
        closeConnection(client);
    }
    ctx_.releaseFirstReceive(client);
}

void MappingEngine::relayHandler(void* engine, int event, IoRecord* relay, std::uint32_t bytes,
                                 std::int32_t) {
    auto* self = static_cast<MappingEngine*>(engine);
    if (!relay) return;
    IoRecord* client = relay->partner.load();
    switch (event) {
        case net::EV_CONNECTED:
            self->relayConnected(relay, self->relays_.connectEnded(relay));
            break;
        case net::EV_CONNECT_FAILED:
            self->relayFailed(relay, static_cast<int>(bytes), self->relays_.connectEnded(relay));
            self->closeConnection(relay);
            self->relays_.flushEnded(relay);
            break;
        case net::EV_RECEIVED:
            if (!self->forwardBytes(client, relay->buf, bytes)) {
                self->closeConnection(client);
                self->closeConnection(relay);
            }
            break;
        case net::EV_CLOSED:
            // What the target sent reaches the client before the client is closed.
            self->ctx_.closeAfterSends(client, relay->peerReset.load());
            self->closeConnection(relay);
            self->relays_.flushEnded(relay);
            break;
        default:
            self->closeConnection(relay);
            break;
    }
}

bool MappingEngine::forwardBytes(IoRecord* destination, const char* data, std::uint32_t bytes) {
    if (!data || !destination) return false;
    return ctx_.sendCopy(destination, data, bytes);
}

int MappingEngine::clientClosed(int n, int slot, IoRecord* client) {
    {
        LockHold hold(lock_);
        IoRecord* listener = client ? client->parent : nullptr;
        if (listener) net::setUserValue(listener, net::userValue(listener) - 1);
    }
    if (slot < 1 || slot > model::kClientSlots) {
        postEngineEvent(EVENT_MESSAGE, n, slot, client, "索引大于客户数组下标");
        return 0;
    }
    // The slot is this client's unless a delete gave it up (and closed the
    // relay) or a new mapping took it since.
    auto ownSlot = [&]() -> model::ClientSlot* {
        model::ClientSlot& s = table_.at(n).clients[static_cast<std::size_t>(slot - 1)];
        return s.connections[0] == client ? &s : nullptr;
    };
    IoRecord* relay;
    {
        LockHold hold(lock_);
        const model::ClientSlot* s = ownSlot();
        if (!s) return 0;
        relay = s->connections[1];
    }
    // What the client sent reaches the target before the target is closed. A
    // stop must still reach the relay once the slot no longer names it.
    if (relay) relays_.flushing(relay, n);
    ctx_.closeAfterSends(relay, client && client->peerReset.load());
    {
        std::lock_guard<std::mutex> order(orderMutex_);  // after a "relayed" under way
        postEngineEvent(EVENT_LEFT, n, slot, client);
    }
    bool cleared = false;
    {
        LockHold hold(lock_);
        if (model::ClientSlot* s = ownSlot()) {
            s->clear();
            cleared = true;
        }
    }
    if (cleared) ctx_.releaseRecord(relay);  // the slot's reference
    return slot;
}

}  // namespace lumesk::mapping
