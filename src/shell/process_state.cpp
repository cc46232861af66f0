#include "shell/process_state.h"

namespace lumesk::shell {

namespace {

// The global lock first, then the client table lock, then sockets.
net::Lock* startNetworking(net::ServiceContext& context) {
    context.globalLock = context.locks.createLock();
    net::Lock* clientTableLock = context.locks.createLock();
    context.startSockets();
    return clientTableLock;
}

}  // namespace

ProcessState::ProcessState()
    : clientTableLock(startNetworking(context)),
      server(context, net::ServiceRole::Server),
      client(context, net::ServiceRole::Client),
      engine(context, server, client, table, clientTableLock, sink, sink) {}

std::vector<std::string> ProcessState::startServices(int workers) {
    return net::WnSocketService::startAll({&server, &client}, workers);
}

monitor::StatisticsInput ProcessState::statistics(const model::MappingRecord& copy,
                                                  const net::IoRecord* listener) {
    return monitor::readStatistics(copy, listener, context, server, client, clientTableLock);
}

}  // namespace lumesk::shell
