// The proxy modes' side of the engine: a client of an HTTP (mode 2) or SOCKS
// (mode 3) mapping is admitted as in port mapping, then its request is read
// (bounded in size and time), the target's name resolved off the workers,
// and its relay opened to that target; from there on it is relayed as in
// port mapping (relay.cpp).
#include <system_error>

#include "mapping/engine.h"

namespace lumesk::mapping {

using net::IoRecord;

namespace {

constexpr std::size_t kResolvers = 4;  // names resolved at once, at most

}  // namespace

// ---- what is kept of each client ---------------------------------------------

ProxyClients::~ProxyClients() {
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        stopping_ = true;
        threads.swap(threads_);
    }
    wake_.notify_all();
    for (std::thread& t : threads) t.join();
    for (Job& job : jobs_) ctx_.releaseRecord(job.client);
    for (auto& entry : clients_) ctx_.releaseRecord(entry.first);
}

void ProxyClients::add(IoRecord* client, bool socks) {
    ctx_.retain(client);
    std::lock_guard<std::mutex> hold(mutex_);
    clients_[client].socks = socks;
}

bool ProxyClients::with(IoRecord* client, const std::function<void(ProxyClient&)>& f) {
    std::lock_guard<std::mutex> hold(mutex_);
    const auto it = clients_.find(client);
    if (it == clients_.end()) return false;
    f(it->second);
    return true;
}

std::optional<ProxyClient> ProxyClients::take(IoRecord* client) {
    std::optional<ProxyClient> taken;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        const auto it = clients_.find(client);
        if (it == clients_.end()) return taken;
        taken = std::move(it->second);
        clients_.erase(it);
    }
    ctx_.releaseRecord(client);
    return taken;
}

void ProxyClients::resolve(IoRecord* client, const std::string& host,
                           std::function<void(int, std::uint32_t)> done) {
    ctx_.retain(client);
    std::lock_guard<std::mutex> hold(mutex_);
    jobs_.push_back({client, host, std::move(done)});
    // A slow resolver holds its thread: another is made while all are busy.
    if (idle_ == 0 && threads_.size() < kResolvers) {
        try {
            threads_.emplace_back([this] { run(); });
        } catch (const std::system_error&) {
            // The threads there are take it in turn.
        }
    }
    wake_.notify_one();
}

void ProxyClients::run() {
    std::unique_lock<std::mutex> hold(mutex_);
    while (true) {
        ++idle_;
        wake_.wait(hold, [this] { return stopping_ || !jobs_.empty(); });
        --idle_;
        if (stopping_) return;
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        hold.unlock();
        std::uint32_t address = 0;
        const int code = platform::resolveIPv4(job.host, address);
        job.done(code, address);
        ctx_.releaseRecord(job.client);
        hold.lock();
    }
}

// ---- the engine's side -------------------------------------------------------

void MappingEngine::httpProxyHandler(void* engine, int event, IoRecord* connection,
                                     std::uint32_t bytes, std::int32_t n) {
    static_cast<MappingEngine*>(engine)->proxyEvent(n, event, connection, bytes, false);
}

void MappingEngine::socks4ProxyHandler(void* engine, int event, IoRecord* connection,
                                       std::uint32_t bytes, std::int32_t n) {
    static_cast<MappingEngine*>(engine)->proxyEvent(n, event, connection, bytes, true);
}

void MappingEngine::proxyEvent(int n, int event, IoRecord* connection, std::uint32_t bytes,
                               bool socks) {
    if (!connection || !model::MappingTable::validNumber(n)) return;
    switch (event) {
        case net::EV_ACCEPTED:
            clientAccepted(n, connection,
                           socks ? model::Mode::Socks4Proxy : model::Mode::HttpProxy);
            break;
        case net::EV_RECEIVED:
            // Paired once its relay is up (relayConnected); before, its request.
            if (connection->partner.load()) {
                clientBytes(connection, bytes);
            } else {
                proxyReceived(n, connection, bytes);
            }
            break;
        case net::EV_CLOSED:
            proxyClosed(n, connection);
            clientClosed(n, net::userValue(connection), connection);
            closeConnection(connection);
            break;
        case net::EV_ACCEPT_FAILED:
            acceptsFailing(n, static_cast<int>(bytes));
            break;
        default:
            closeConnection(connection);
            break;
    }
}

void MappingEngine::proxyAdmitted(IoRecord* client, bool socks) {
    proxies_.add(client, socks);
    // Closed by the watch unless its request is whole in time (proxyClosed).
    relays_.watchConnect(client, headBound);
}

void MappingEngine::proxyReceived(int n, IoRecord* client, std::uint32_t bytes) {
    proxy::Step step;
    bool asked = false;
    const bool known = proxies_.with(client, [&](ProxyClient& c) {
        asked = c.asked;
        if (asked) return;
        c.received.append(client->buf, bytes);
        step = c.socks ? proxy::parseSocks(c.received, c.greeted) : proxy::parseHttp(c.received);
        if (step.status != proxy::Status::Failed && !step.reply.empty()) c.greeted = true;
        if (step.status == proxy::Status::Ready) {
            c.asked = true;
            c.request = step.request;
            c.rest = c.received.substr(step.request.consumed);
            c.received.clear();
        }
    });
    if (!known || asked) {
        // Its request was refused or cancelled: a close is under way, or due.
        if (client->output.load() < net::Output::CloseWhenDrained) closeConnection(client);
        return;
    }
    if (step.status == proxy::Status::NeedMore) {
        if (!step.reply.empty()) {
            ctx_.sendCopy(client, step.reply.data(), static_cast<std::uint32_t>(step.reply.size()));
        }
        return;
    }
    const int slot = net::userValue(client);
    if (relays_.connectEnded(client)) {
        // Past its bound: the watch closes it.
        report(n, slot, client, "转接到[]错误:请求超时");
        return;
    }
    if (step.status == proxy::Status::Failed) {
        proxies_.take(client);
        report(n, slot, client, "转接到[]错误:" + step.reason);
        answerAndClose(client, step.reply);
        return;
    }
    if (!step.reply.empty()) {
        ctx_.sendCopy(client, step.reply.data(), static_cast<std::uint32_t>(step.reply.size()));
    }
    // What it sends next waits in the record until the relay is up.
    ctx_.holdFirstReceive(client);
    const std::string host = step.request.host;
    const std::int32_t port = step.request.port;
    if (model::looksLikeIPv4(host)) {
        proxyConnect(n, slot, client, host, port);
        return;
    }
    proxies_.resolve(client, host, [this, n, slot, client, host, port](int code, std::uint32_t ip) {
        if (code == 0) {
            proxyConnect(n, slot, client, platform::formatIPv4(ip), port);
        } else {
            proxyFailed(n, slot, client,
                        "转接到[" + model::endpoint(host, port) + "]错误:域名解析失败",
                        proxy::Failure::Unresolved);
        }
    });
}

void MappingEngine::proxyConnect(int n, int slot, IoRecord* client, const std::string& ip,
                                 std::int32_t port) {
    if (client->closed.load()) return;  // left while its target was looked up
    std::string errorText;
    if (openRelayTo(n, slot, client, ip, port, errorText)) return;
    proxyFailed(n, slot, client, errorText, proxy::Failure::Other);
}

void MappingEngine::proxyFailed(int n, int slot, IoRecord* client, const std::string& reason,
                                proxy::Failure failure) {
    const std::optional<ProxyClient> c = proxies_.take(client);
    if (!c) {
        // It has left meanwhile.
        closeConnection(client);
        ctx_.releaseFirstReceive(client);
        return;
    }
    report(n, slot, client, reason);
    answerAndClose(client, proxy::failureReply(c->request.protocol, failure));
}

void MappingEngine::answerAndClose(IoRecord* client, const std::string& reply) {
    if (!reply.empty()) {
        ctx_.sendCopy(client, reply.data(), static_cast<std::uint32_t>(reply.size()));
    }
    ctx_.closeAfterSends(client);
    ctx_.releaseFirstReceive(client);  // what it sent meanwhile is dropped
}

void MappingEngine::proxyRelayed(IoRecord* client, IoRecord* relay) {
    const std::optional<ProxyClient> c = proxies_.take(client);
    if (!c) return;
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    if (ctx_.enterSocket(relay)) {
        platform::localAddress(relay->socket, address, port);
        ctx_.leaveSocket(relay);
    }
    const std::string reply = proxy::successReply(c->request, address, port);
    if (!reply.empty()) {
        ctx_.sendCopy(client, reply.data(), static_cast<std::uint32_t>(reply.size()));
    }
    const std::string first = c->request.forward + c->rest;
    if (!first.empty())
        ctx_.sendCopy(relay, first.data(), static_cast<std::uint32_t>(first.size()));
}

bool MappingEngine::proxyAnswered(IoRecord* client, int code) {
    const std::optional<ProxyClient> c = proxies_.take(client);
    if (!c || code == 0 || client->closed.load()) return false;
    const std::string reply = proxy::failureReply(c->request.protocol, proxy::failureOf(code));
    return ctx_.sendCopy(client, reply.data(), static_cast<std::uint32_t>(reply.size()));
}

void MappingEngine::proxyClosed(int n, IoRecord* client) {
    proxies_.take(client);
    if (relays_.connectEnded(client)) {
        report(n, net::userValue(client), client, "转接到[]错误:请求超时");
    }
}

}  // namespace lumesk::mapping
