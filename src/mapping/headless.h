// The engine without a window: the process state the program builds, with a
// sink that keeps the engine events, for tests and benchmarks.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "mapping/runtime.h"

namespace lumesk::mapping {

class HeadlessEngine : public EngineListener {
  public:
    explicit HeadlessEngine(int workersPerInstance = 10, bool keepEvents = true);

    // Adds a mapping in the lowest free slot; returns its number, 0 when full.
    int addMapping(const std::string& listenIp, std::int32_t listenPort,
                   const std::string& forwardIp, std::int32_t forwardPort,
                   std::int32_t capacity = 10000, std::int32_t perIpLimit = 0,
                   model::Mode mode = model::Mode::PortMapping);
    // Starts it; true when it runs. The bound port is in mapping(n).listen_port.
    bool start(int n);
    void stop(int n);

    model::MappingRecord& mapping(int n) { return runtime_.table.at(n); }
    MappingEngine& engine() { return runtime_.engine; }
    net::ServiceContext& context() { return runtime_.context; }
    std::vector<EngineEvent> events();
    std::vector<std::string> logLines();

    int deliver(const EngineEvent& event) override;
    void appendLog(const std::string& text) override;

  private:
    bool keepEvents_;
    std::mutex mutex_;
    std::vector<EngineEvent> events_;
    std::vector<std::string> log_;
    Runtime runtime_;  // last: its workers call the members above
};

}  // namespace lumesk::mapping
