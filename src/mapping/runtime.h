// The engine and everything under it, built in one order by the program, the
// headless engine and the tests alike: the table, the service context with
// its locks (made in this order: the global lock, then the client table lock;
// the order they are taken in is another matter, see docs/architecture.md),
// both service instances and the engine.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "mapping/engine.h"
#include "model/mapping.h"
#include "net/service.h"

namespace lumesk::mapping {

// What a mapping's listener and the workers show right now.
struct LiveCounters {
    std::int32_t pendingAccepts = 0;
    std::array<std::int32_t, 3> threads{};  // running, working, idle, both instances
    bool listening = false;                 // the listener has a socket
    std::int32_t online = 0;
    std::int64_t received = 0;
    std::int64_t sent = 0;
};

class Runtime {
  public:
    explicit Runtime(EngineListener& listener);
    // Stops what still runs and lets the closes it started end (at most
    // 10 s) before the workers go. The program itself ends without this.
    ~Runtime();
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    // Starts both instances with their workers; the texts of what failed,
    // for the log. Nothing waits on the result: a mapping that cannot start
    // says so itself.
    std::vector<std::string> startServices(int workers = 10);
    // Counters of a listener (null when stopped) and of the workers.
    LiveCounters counters(const net::IoRecord* listener);

    model::MappingTable table;
    net::ServiceContext context;
    net::Lock* clientTableLock;
    net::WnSocketService server;
    net::WnSocketService client;
    MappingEngine engine;
};

}  // namespace lumesk::mapping
