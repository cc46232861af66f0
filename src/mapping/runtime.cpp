#include "mapping/runtime.h"

#include <chrono>
#include <thread>

namespace lumesk::mapping {

namespace {

// Made in this order: the global lock, the client table lock, then sockets.
net::Lock* startNetworking(net::ServiceContext& context) {
    context.globalLock = context.locks.createLock();
    net::Lock* clientTableLock = context.locks.createLock();
    context.startSockets();
    return clientTableLock;
}

}  // namespace

Runtime::Runtime(EngineListener& listener)
    : clientTableLock(startNetworking(context)),
      server(context, net::ServiceRole::Server),
      client(context, net::ServiceRole::Client),
      engine(context, server, client, table, clientTableLock, listener) {}

Runtime::~Runtime() {
    for (int n = 1; n <= model::kMappingCount; ++n) {
        if (table.at(n).service) engine.stopMapping(n);
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (context.heap.liveBlocks() > 0 && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    server.stop();
    client.stop();
}

std::vector<std::string> Runtime::startServices(int workers) {
    return net::WnSocketService::startAll({&server, &client}, workers);
}

LiveCounters Runtime::counters(const net::IoRecord* listener) {
    LiveCounters c;
    c.pendingAccepts = context.pendingAccepts(listener);
    for (int kind = 0; kind < 3; ++kind) {
        c.threads[static_cast<std::size_t>(kind)] =
            server.threadStatus(kind) + client.threadStatus(kind);
    }
    c.listening = net::socket(listener) != platform::kNoSocket;
    {
        net::LockHold hold(clientTableLock);
        c.online = net::userValue(listener);
    }
    c.received = net::readBytes(listener, 0);
    c.sent = net::readBytes(listener, 1);
    return c;
}

}  // namespace lumesk::mapping
