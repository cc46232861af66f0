#include "mapping/engine.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <system_error>
#include <utility>

namespace lumesk::mapping {

using net::IoRecord;
using net::LockHold;

namespace {

constexpr int kSocketAttempts = 10;  // fresh sockets after WSAENOTSOCK
constexpr int kBindAttempts = 10;    // binds after WSAEINVAL

std::vector<std::string> splitDots(const std::string& text) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, '.')) parts.push_back(part);
    if (!text.empty() && text.back() == '.') parts.emplace_back();
    return parts;
}

// Four dot-separated parts, each "0" or what atoi reads as non-zero: the
// check the listener's and the relay's addresses both get.
bool looksLikeIPv4(const std::string& ip) {
    const std::vector<std::string> parts = splitDots(ip);
    if (parts.size() != 4) return false;
    for (const std::string& part : parts) {
        if (part != "0" && std::atoi(part.c_str()) == 0) return false;
    }
    return true;
}

std::string endpoint(const std::string& ip, std::int32_t port) {
    return ip + ":" + std::to_string(port);
}

std::string outOfRange(int n) {
    return "索引(" + std::to_string(n) + ")超出数组范围";
}

}  // namespace

MappingEngine::MappingEngine(net::ServiceContext& context, net::WnSocketService& server,
                             net::WnSocketService& client, model::MappingTable& table,
                             net::Lock* clientTableLock, EngineEventSink& sink, MessageLog& log)
    : ctx_(context),
      server_(server),
      client_(client),
      table_(table),
      lock_(clientTableLock),
      sink_(sink),
      log_(log) {
    startWatcher();
}

void MappingEngine::startWatcher() {
    // Started up front: a thread may not be to be had when the first connect
    // comes, in a process that has run out.
    try {
        if (!watcher_.joinable()) watcher_ = std::thread([this] { watchConnects(); });
    } catch (const std::system_error&) {
        // Tried again at the next connect.
    }
}

MappingEngine::~MappingEngine() {
    {
        std::lock_guard<std::mutex> hold(connectingMutex_);
        stopping_ = true;
    }
    connectingChanged_.notify_all();
    if (watcher_.joinable()) watcher_.join();
    for (auto& entry : connecting_) ctx_.releaseRecord(entry.first);
    for (auto& entry : flushing_) ctx_.releaseRecord(entry.first);
}

// ---- the connect bound -------------------------------------------------------

void MappingEngine::watchConnect(IoRecord* relay) {
    ctx_.retain(relay);
    bool sooner = false;
    {
        std::lock_guard<std::mutex> hold(connectingMutex_);
        const auto deadline = std::chrono::steady_clock::now() + connectBound;
        connecting_[relay] = {deadline, false};
        sooner = deadline < watchUntil_;
        if (sooner) watchUntil_ = deadline;
        startWatcher();
    }
    if (sooner) connectingChanged_.notify_all();
}

bool MappingEngine::connectEnded(IoRecord* relay) {
    bool timedOut = false;
    bool watched = false;
    {
        std::lock_guard<std::mutex> hold(connectingMutex_);
        const auto it = connecting_.find(relay);
        if (it != connecting_.end()) {
            watched = true;
            timedOut = it->second.timedOut;
            connecting_.erase(it);
        }
    }
    if (watched) ctx_.releaseRecord(relay);
    return timedOut;
}

void MappingEngine::watchConnects() {
    std::unique_lock<std::mutex> hold(connectingMutex_);
    while (!stopping_) {
        const auto now = std::chrono::steady_clock::now();
        auto next = now + std::chrono::hours(1);
        std::vector<IoRecord*> expired;
        for (auto& [relay, entry] : connecting_) {
            if (entry.timedOut) continue;
            if (entry.deadline <= now) {
                entry.timedOut = true;
                ctx_.retain(relay);  // the entry may go while we close it
                expired.push_back(relay);
            } else {
                next = std::min(next, entry.deadline);
            }
        }
        if (!expired.empty()) {
            // The connects then fail through the port, reported as timed out.
            hold.unlock();
            for (IoRecord* relay : expired) {
                closeConnection(relay);
                ctx_.releaseRecord(relay);
            }
            hold.lock();
            continue;
        }
        watchUntil_ = next;
        connectingChanged_.wait_until(hold, next);
    }
}

// ---- start and stop ----------------------------------------------------------

void MappingEngine::startMapping(int n) {
    std::string errorText;
    const bool ok = openListener(n, errorText);
    const std::string name = model::MappingTable::validNumber(n) ? table_.at(n).name : "";
    log_.appendLog(ok ? "[" + name + "]映射已启动" : "[" + name + "]映射启动错误:" + errorText);
    if (onRunStateChanged) onRunStateChanged(n);
}

void MappingEngine::stopMapping(int n) {
    std::string errorText;
    const bool ok = closeListener(n, errorText);
    const std::string name = model::MappingTable::validNumber(n) ? table_.at(n).name : "";
    log_.appendLog(ok ? "[" + name + "]映射已停止" : "[" + name + "]映射停止错误:" + errorText);
    if (onRunStateChanged) onRunStateChanged(n);
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
    if (record.mode == 2) handler = &MappingEngine::httpProxyHandler;
    if (record.mode == 3) handler = &MappingEngine::socks4ProxyHandler;
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
    if (ip.empty()) ip = "0.0.0.0";
    if (!looksLikeIPv4(ip)) {
        errorText = "IP地址提供错误(" + ip + ")";
        platform::closeSocket(socket);
        return false;
    }
    const std::string inUse = "一个端口只许绑定一个套接口句柄(" + endpoint(ip, port) + ")";
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
        closeConnection(listener);
        // Under the lock: a slot's records stay alive while the slot names them.
        for (const model::ClientSlot& slot : std::as_const(record.clients)) {
            if (slot.isFree()) continue;
            closeConnection(slot.connections[0]);
            closeConnection(slot.connections[1]);
        }
    }
    // Relays still sending what their gone clients sent have no slot any more.
    {
        std::lock_guard<std::mutex> hold(connectingMutex_);
        for (auto& [relay, mapping] : flushing_) {
            if (mapping == n) closeConnection(relay);
        }
    }
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
    return sink_.deliver(event);
}

void MappingEngine::report(int n, int slot, IoRecord* connection, const std::string& reason) {
    std::string ip;
    std::int32_t port = 0;
    peerAddress(connection, ip, port);
    postEngineEvent(EVENT_MESSAGE, n, slot, connection,
                    "客户[" + endpoint(ip, port) + "]" + reason);
}

void MappingEngine::clientAccepted(int n, IoRecord* connection, bool relayed) {
    std::string ip;
    std::int32_t port = 0;
    peerAddress(connection, ip, port);
    std::string errorText;
    const int slot = admitClient(n, connection, ip, port, errorText);
    if (slot > 0) {
        postEngineEvent(EVENT_ENTERED, n, slot, connection);
        if (!relayed) return;
        // The client's bytes wait in its socket until the relay is connected.
        ctx_.holdFirstReceive(connection);
        if (openRelay(n, slot, connection, errorText)) return;
        ctx_.releaseFirstReceive(connection);
    }
    report(n, slot, connection, errorText);
    if (relayed) closeConnection(connection);
}

void MappingEngine::portMappingHandler(void* engine, int event, IoRecord* connection,
                                       std::uint32_t bytes, std::int32_t n) {
    auto* self = static_cast<MappingEngine*>(engine);
    if (!connection || !model::MappingTable::validNumber(n)) return;
    switch (event) {
        case net::EV_ACCEPTED:
            self->clientAccepted(n, connection, true);
            break;
        case net::EV_RECEIVED: {
            const int slot = net::userValue(connection);
            IoRecord* relay = connection->partner.load();
            if (slot < 1 || slot > model::kClientSlots) {
                self->closeConnection(connection);
            } else if (!self->forwardBytes(relay, connection->buf, bytes)) {
                self->closeConnection(relay);
                self->closeConnection(connection);
            }
            break;
        }
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

void MappingEngine::httpProxyHandler(void* engine, int event, IoRecord* connection,
                                     std::uint32_t bytes, std::int32_t n) {
    auto* self = static_cast<MappingEngine*>(engine);
    if (!model::MappingTable::validNumber(n)) return;
    if (event == net::EV_ACCEPTED) self->clientAccepted(n, connection, false);
    if (event == net::EV_ACCEPT_FAILED) self->acceptsFailing(n, static_cast<int>(bytes));
    // Its slot and online count come back when it leaves, as in port mapping.
    if (event == net::EV_CLOSED) self->clientClosed(n, net::userValue(connection), connection);
}

void MappingEngine::socks4ProxyHandler(void*, int, IoRecord*, std::uint32_t, std::int32_t) {}

// ---- relay -------------------------------------------------------------------

bool MappingEngine::normalizeIpText(std::string& ip) {
    if (ip.empty()) {
        ip = "0.0.0.0";
        return true;
    }
    return looksLikeIPv4(ip);
}

bool MappingEngine::checkIpText(std::string& ip, std::string& errorText) {
    if (normalizeIpText(ip)) return true;
    errorText = "提供的IP地址不正确:" + ip;
    return false;
}

bool MappingEngine::openRelay(int n, int slot, IoRecord* client, std::string& errorText) {
    std::string ip;
    std::int32_t port;
    {
        LockHold hold(lock_);
        model::MappingRecord& record = table_.at(n);
        if (record.forward_ip.empty()) record.forward_ip = "0.0.0.0";
        ip = record.forward_ip;
        port = record.forward_port;
    }
    IoRecord* relay = connectOutbound(ip, port, errorText);
    if (!relay) {
        errorText = "转接到[" + endpoint(ip, port) + "]错误:" + errorText;
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
        // The mapping was deleted meanwhile; the delete closed the client.
        closeConnection(relay);
        ctx_.closeRecord(relay);
        return true;
    }
    ctx_.setPartner(relay, client);
    std::uint32_t address = platform::parseIPv4(ip);
    watchConnect(relay);  // before the post: the connect may end at once
    const int code = ctx_.postConnect(relay, address, static_cast<std::uint16_t>(port));
    if (code != 0) connectEnded(relay);
    if (code == 0) {
        // A stop that ran before the slot named the relay did not close it.
        bool stopped;
        {
            LockHold hold(lock_);
            stopped = table_.at(n).service != client->parent;
        }
        if (stopped) closeConnection(relay);
        return true;
    }
    errorText = "转接到[" + endpoint(ip, port) + "]错误:套接口捆绑错误:" + std::to_string(code);
    closeConnection(relay);
    ctx_.closeRecord(relay);
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
    return "转接到[" + endpoint(s.addresses[1], s.ports[1]) + "]错误:";
}

void MappingEngine::relayConnected(IoRecord* relay) {
    IoRecord* client = relay->partner.load();
    // A failed post closes the relay, which lets go of its partner.
    ctx_.retain(client);
    ctx_.setPartner(client, relay);
    const int n = net::tag(client);
    const int slot = net::userValue(client);
    // Paired, then the relay's first receive, then the news: a receive that
    // cannot be posted is reported instead of the relayed event.
    const std::string prefix = relayPrefix(relay);
    std::string errorText;
    if (ctx_.postReceive(relay, &errorText)) {
        postEngineEvent(EVENT_RELAYED, n, slot, client);
    } else if (!client->closed.load()) {  // else it left and closed the relay itself
        report(n, slot, client, prefix + "投递WSARecv 错误" + errorText);
        closeConnection(client);
    }
    ctx_.releaseFirstReceive(client);  // a client closed meanwhile ends there
    ctx_.releaseRecord(client);
}

void MappingEngine::relayFailed(IoRecord* relay, int code) {
    IoRecord* client = relay->partner.load();
    if (!client) return;
    const int n = net::tag(client);
    const int slot = net::userValue(client);
    // A client that left first cancelled the connect: nothing to report.
    if (!client->closed.load()) {
        report(n, slot, client, relayPrefix(relay) + "套接口捆绑错误:" + std::to_string(code));
    }
    // Its first receive, once let go, fails on the closed socket and ends it.
    closeConnection(client);
    ctx_.releaseFirstReceive(client);
}

void MappingEngine::relayHandler(void* engine, int event, IoRecord* relay, std::uint32_t bytes,
                                 std::int32_t) {
    auto* self = static_cast<MappingEngine*>(engine);
    if (!relay) return;
    IoRecord* client = relay->partner.load();
    switch (event) {
        case net::EV_CONNECTED:
            self->connectEnded(relay);
            self->relayConnected(relay);
            break;
        case net::EV_CONNECT_FAILED:
            self->relayFailed(relay, self->connectEnded(relay) ? platform::kErrTimedOut
                                                               : static_cast<int>(bytes));
            self->closeConnection(relay);
            self->flushEnded(relay);
            break;
        case net::EV_RECEIVED:
            if (!self->forwardBytes(client, relay->buf, bytes)) {
                self->closeConnection(client);
                self->closeConnection(relay);
            }
            break;
        case net::EV_CLOSED:
            // What the target sent reaches the client before the client is closed.
            self->ctx_.closeAfterSends(client);
            self->closeConnection(relay);
            self->flushEnded(relay);
            break;
        default:
            self->closeConnection(relay);
            break;
    }
}

void MappingEngine::flushEnded(IoRecord* relay) {
    bool held = false;
    {
        std::lock_guard<std::mutex> hold(connectingMutex_);
        held = flushing_.erase(relay) > 0;
    }
    if (held) ctx_.releaseRecord(relay);
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
    if (relay) {
        std::lock_guard<std::mutex> hold(connectingMutex_);
        // Closed first, then let go (flushEnded): a closed relay is never added.
        if (!relay->socketClosed.load() && flushing_.emplace(relay, n).second) ctx_.retain(relay);
    }
    ctx_.closeAfterSends(relay);
    postEngineEvent(EVENT_LEFT, n, slot, client);
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
