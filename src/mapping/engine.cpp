// The mapping engine's own side: starting and stopping mappings, their
// listeners, and the admission of each client (relay.cpp does the rest).
#include "mapping/engine.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <utility>

namespace lumesk::mapping {

using net::IoRecord;
using net::LockHold;

namespace {

std::string outOfRange(int n) {
    return "索引(" + std::to_string(n) + ")超出数组范围";
}

}  // namespace

MappingEngine::MappingEngine(net::ServiceContext& context, net::WnSocketService& server,
                             net::WnSocketService& client, model::MappingTable& table,
                             net::Lock* clientTableLock, EngineListener& listener)
    : ctx_(context),
      server_(server),
      client_(client),
      table_(table),
      lock_(clientTableLock),
      listener_(listener),
      relays_(context, [this](IoRecord* relay) { closeConnection(relay); }) {}

MappingEngine::~MappingEngine() = default;

// ---- start and stop ----------------------------------------------------------

void MappingEngine::startMapping(int n) {
    // A free record is no mapping: started, it would be a nameless listener
    // on 0.0.0.0 at a random port that nothing shows and nothing can stop.
    if (model::MappingTable::validNumber(n) && table_.at(n).name.empty()) return;
    std::string errorText;
    const bool ok = openListener(n, errorText);
    const std::string name = model::MappingTable::validNumber(n) ? table_.at(n).name : "";
    listener_.appendLog(ok ? "[" + name + "]映射已启动"
                           : "[" + name + "]映射启动错误:" + errorText);
    // A proxy goes wherever its clients ask: say so when more than this
    // machine can reach it.
    if (ok && table_.at(n).mode != model::Mode::PortMapping &&
        table_.at(n).listen_ip != "127.0.0.1") {
        listener_.appendLog("[" + name + "]代理对所有能连到它的客户开放,请用IP黑名单或只监听本机");
    }
    listener_.runStateChanged(n);
}

void MappingEngine::stopMapping(int n) {
    std::string errorText;
    const bool ok = closeListener(n, errorText);
    const std::string name = model::MappingTable::validNumber(n) ? table_.at(n).name : "";
    listener_.appendLog(ok ? "[" + name + "]映射已停止"
                           : "[" + name + "]映射停止错误:" + errorText);
    listener_.runStateChanged(n);
}

void MappingEngine::deleteMapping(int n) {
    if (!model::MappingTable::validNumber(n)) return;
    if (table_.at(n).service) stopMapping(n);
    // The slots go with the record, so their relay references are given up
    // here; a client's close that comes later finds no slot of its own.
    std::vector<IoRecord*> relays;
    {
        LockHold hold(lock_);
        for (const model::ClientSlot& slot : std::as_const(table_.at(n).clients)) {
            if (!slot.isFree() && slot.connections[1]) relays.push_back(slot.connections[1]);
        }
        table_.reset(n);
    }
    for (IoRecord* relay : relays) {
        closeConnection(relay);
        ctx_.releaseRecord(relay);
    }
}

bool MappingEngine::openListener(int n, std::string& errorText) {
    if (!model::MappingTable::validNumber(n)) {
        errorText = outOfRange(n);
        return false;
    }
    model::MappingRecord& record = table_.at(n);
    if (record.service) return true;
    net::EventProc handler = &MappingEngine::portMappingHandler;
    if (record.mode == model::Mode::HttpProxy) handler = &MappingEngine::httpProxyHandler;
    if (record.mode == model::Mode::Socks4Proxy) handler = &MappingEngine::socks4ProxyHandler;
    // Tagged before its accepts are posted, so no early client finds tag 0.
    IoRecord* listener = createListener(handler, n, record.listen_ip, record.listen_port,
                                        kAcceptsPerListener, errorText);
    LockHold hold(lock_);
    record.service = listener;
    return listener != nullptr;
}

IoRecord* MappingEngine::createListener(net::EventProc handler, std::int32_t tag, std::string& ip,
                                        std::int32_t& port, std::int32_t acceptCount,
                                        std::string& errorText) {
    if (!server_.started()) {
        errorText = "服务未开启,请先启动服务";
        return nullptr;
    }
    IoRecord* listener = ctx_.allocListener();
    if (!listener) return nullptr;
    platform::Socket socket = platform::kNoSocket;
    if (!bindListeningSocket(socket, port, ip, errorText)) {
        ctx_.releaseRecord(listener);
        return nullptr;
    }
    if (!server_.associate(socket)) {
        errorText = "绑定套接字失败";
        platform::closeSocket(socket);
        ctx_.releaseRecord(listener);
        return nullptr;
    }
    listener->socket = socket;
    net::setCallback(listener, handler, this);
    net::setTag(listener, tag);
    {
        // Live before its first accept: clients come from that one on.
        LockHold hold(lock_);
        liveListeners_.insert(listener);
    }
    ctx_.addListener(listener);
    for (std::int32_t i = 0; i < acceptCount; ++i) {
        int code = 0;
        if (!ctx_.postAccept(listener, &code)) ctx_.acceptFailed(listener, code);
    }
    return listener;
}

bool MappingEngine::bindListeningSocket(platform::Socket& socket, std::int32_t& port,
                                        std::string& ip, std::string& errorText) {
    socket = platform::createSocket();
    if (socket == platform::kNoSocket) {
        errorText = "创建套接口 失败";
        return false;
    }
    if (!model::normalizeIpText(ip)) {
        errorText = "IP地址提供错误(" + ip + ")";
        platform::closeSocket(socket);
        return false;
    }
    const std::string inUse = "一个端口只许绑定一个套接口句柄(" + model::endpoint(ip, port) + ")";
    if (platform::bindSocket(socket, platform::parseIPv4(ip), static_cast<std::uint16_t>(port)) !=
            0 ||
        platform::listenSocket(socket, 0x7FFFFFFF) != 0) {
        errorText = inUse;
        platform::closeSocket(socket);
        return false;
    }
    readBackAddress(socket, ip, port);
    return true;
}

void MappingEngine::readBackAddress(platform::Socket socket, std::string& ip, std::int32_t& port) {
    std::uint32_t address = 0;
    std::uint16_t boundPort = 0;
    if (platform::localAddress(socket, address, boundPort) != 0) return;
    ip = platform::formatIPv4(address);
    port = boundPort;
}

bool MappingEngine::closeListener(int n, std::string& errorText) {
    if (!model::MappingTable::validNumber(n)) {
        errorText = outOfRange(n);
        return false;
    }
    model::MappingRecord& record = table_.at(n);
    IoRecord* listener;
    {
        LockHold hold(lock_);
        listener = record.service;
        record.service = nullptr;
        liveListeners_.erase(listener);
        closeConnection(listener);
        // Under the lock: a slot's records stay alive while the slot names them.
        for (const model::ClientSlot& slot : std::as_const(record.clients)) {
            if (slot.isFree()) continue;
            closeConnection(slot.connections[0]);
            closeConnection(slot.connections[1]);
        }
    }
    // Relays still sending what their gone clients sent have no slot any more.
    relays_.forFlushing(n, [this](IoRecord* relay) { closeConnection(relay); });
    releaseListener(listener);
    return true;
}

void MappingEngine::releaseListener(IoRecord*& listener) {
    if (!listener) return;
    ctx_.closeSocketOf(listener);
    ctx_.removeListener(listener);
    // Accepts still posted hold it; its memory goes with the last of them.
    ctx_.releaseRecord(listener);
    listener = nullptr;
}

void MappingEngine::closeConnection(IoRecord* record) {
    ctx_.closeSocketOf(record);
}

bool MappingEngine::listenerLive(IoRecord* listener) {
    LockHold hold(lock_);
    return liveListeners_.count(listener) > 0;
}

std::int32_t MappingEngine::onlineCount(int n) {
    if (!model::MappingTable::validNumber(n)) return 0;
    LockHold hold(lock_);
    return net::userValue(table_.at(n).service);
}

// ---- admission ---------------------------------------------------------------

void MappingEngine::peerAddress(const IoRecord* connection, std::string& ip, std::int32_t& port) {
    if (!connection || !connection->peerBlock) return;
    std::uint16_t portNet;
    std::uint32_t address;
    std::memcpy(&portNet, connection->peerBlock + platform::kPeerAddressOffset + 2, 2);
    std::memcpy(&address, connection->peerBlock + platform::kPeerAddressOffset + 4, 4);
    port = platform::fromNetwork16(portNet);
    ip = platform::formatIPv4(address);
}

int MappingEngine::blacklistPosition(const std::vector<std::string>& blacklist,
                                     const std::string& ip) {
    LockHold hold(lock_);
    for (std::size_t i = 0; i < blacklist.size(); ++i) {
        if (!blacklist[i].empty() && blacklist[i] == ip) return static_cast<int>(i) + 1;
    }
    return 0;
}

int MappingEngine::admitClient(int n, IoRecord* connection, const std::string& ip,
                               std::int32_t port, std::string& errorText) {
    model::MappingRecord& record = table_.at(n);
    IoRecord* listener = connection->parent;
    std::int32_t online;
    std::int32_t capacity;
    std::int32_t perIp;
    std::vector<std::string> blacklist;
    {
        LockHold hold(lock_);
        online = net::userValue(listener) + 1;
        net::setUserValue(listener, online);
        capacity = record.capacity;
        perIp = record.per_ip_limit;
        blacklist = record.blacklist;
    }
    // Blacklisted addresses are refused; a positive per-IP limit caps the
    // clients one address holds at once. The count and the slot are taken in
    // one hold of the lock, so clients of one address that arrive together
    // cannot all pass the limit.
    bool allowed = blacklistPosition(blacklist, ip) == 0;
    int slotNumber = 0;
    {
        LockHold hold(lock_);
        if (allowed && perIp > 0) {
            int fromIp = 0;
            for (const model::ClientSlot& slot : record.clients) {
                fromIp += !slot.isFree() && slot.addresses[0] == ip;
            }
            allowed = fromIp < perIp;
        }
        for (int i = 0; allowed && online <= capacity && i < model::kClientSlots; ++i) {
            model::ClientSlot& slot = record.clients[static_cast<std::size_t>(i)];
            if (!slot.isFree()) continue;
            slot.connections[0] = connection;
            slot.addresses[0] = ip;
            slot.ports[0] = port;
            slot.serial = connection->serial;
            slotNumber = i + 1;
            break;
        }
    }
    if (!allowed) {
        errorText = "此IP不允许连接";
        return 0;
    }
    if (online > capacity) {
        errorText = "服务设置在线人数 错误";
        return 0;
    }
    if (slotNumber == 0) {
        errorText = "分配客户索引 错误";
        return 0;
    }
    net::setTag(connection, n);
    net::setUserValue(connection, slotNumber);
    if (net::tag(connection) == n && net::userValue(connection) == slotNumber) return slotNumber;
    errorText = "标记客户索引 错误";
    LockHold hold(lock_);
    record.clients[static_cast<std::size_t>(slotNumber - 1)].clear();
    return 0;
}

int MappingEngine::postEngineEvent(std::int32_t kind, int n, int slot, IoRecord* connection,
                                   const std::string& text) {
    EngineEvent event;
    event.kind = kind;
    event.mapping = n;
    event.slot = slot;
    event.connection = connection;
    event.text = text;
    // The poster holds the connection, so its serial can be read; the slot
    // is still this client's unless a delete gave it up.
    if (kind != EVENT_MESSAGE && connection) {
        event.serial = connection->serial;
        if (model::MappingTable::validNumber(n) && slot >= 1 && slot <= model::kClientSlots) {
            LockHold hold(lock_);
            const model::ClientSlot& s =
                std::as_const(table_.at(n).clients)[static_cast<std::size_t>(slot - 1)];
            if (s.connections[0] == connection) {
                event.client = model::endpoint(s.addresses[0], s.ports[0]);
                event.forward = model::endpoint(s.addresses[1], s.ports[1]);
            }
        }
        if (event.client.empty()) {
            std::string ip;
            std::int32_t port = 0;
            peerAddress(connection, ip, port);
            event.client = model::endpoint(ip, port);
            event.forward = model::endpoint("", 0);
        }
    }
    return listener_.deliver(event);
}

void MappingEngine::report(int n, int slot, IoRecord* connection, const std::string& reason) {
    std::string ip;
    std::int32_t port = 0;
    peerAddress(connection, ip, port);
    postEngineEvent(EVENT_MESSAGE, n, slot, connection,
                    "客户[" + model::endpoint(ip, port) + "]" + reason);
}

void MappingEngine::clientAccepted(int n, IoRecord* connection, model::Mode mode) {
    std::string ip;
    std::int32_t port = 0;
    peerAddress(connection, ip, port);
    std::string errorText;
    const int slot = admitClient(n, connection, ip, port, errorText);
    if (slot > 0) {
        postEngineEvent(EVENT_ENTERED, n, slot, connection);
        if (mode != model::Mode::PortMapping) {
            proxyAdmitted(connection, mode == model::Mode::Socks4Proxy);
            return;
        }
        // The client's bytes wait in its socket until the relay is connected.
        ctx_.holdFirstReceive(connection);
        if (openRelay(n, slot, connection, errorText)) return;
        ctx_.releaseFirstReceive(connection);
    }
    report(n, slot, connection, errorText);
    closeConnection(connection);
}

void MappingEngine::clientBytes(IoRecord* client, std::uint32_t bytes) {
    if (!client) return;
    const int slot = net::userValue(client);
    IoRecord* relay = client->partner.load();
    if (slot < 1 || slot > model::kClientSlots) {
        closeConnection(client);
    } else if (!forwardBytes(relay, client->buf, bytes)) {
        closeConnection(relay);
        closeConnection(client);
    }
}

void MappingEngine::portMappingHandler(void* engine, int event, IoRecord* connection,
                                       std::uint32_t bytes, std::int32_t n) {
    auto* self = static_cast<MappingEngine*>(engine);
    if (!connection || !model::MappingTable::validNumber(n)) return;
    switch (event) {
        case net::EV_ACCEPTED:
            self->clientAccepted(n, connection, model::Mode::PortMapping);
            break;
        case net::EV_RECEIVED:
            self->clientBytes(connection, bytes);
            break;
        case net::EV_CLOSED:
            self->clientClosed(n, net::userValue(connection), connection);
            self->closeConnection(connection);
            break;
        case net::EV_ACCEPT_FAILED:
            self->acceptsFailing(n, static_cast<int>(bytes));
            break;
        default:
            self->closeConnection(connection);
            break;
    }
}

void MappingEngine::acceptsFailing(int n, int code) {
    std::string name;
    {
        LockHold hold(lock_);
        name = table_.at(n).name;
    }
    postEngineEvent(EVENT_MESSAGE, n, 0, nullptr,
                    "[" + name + "]接受连接错误:" + std::to_string(code) + ",稍后重试");
}

// ---- address texts -----------------------------------------------------------

bool MappingEngine::checkIpText(std::string& ip, std::string& errorText) {
    if (model::normalizeIpText(ip)) return true;
    errorText = "提供的IP地址不正确:" + ip;
    return false;
}
}  // namespace lumesk::mapping
