// The process-wide state, built in its fixed order: the mapping table, the
// service heap and locks, both service instances and the engine. The window
// comes later and receives engine events through the proxy.
#pragma once

#include <atomic>
#include <string>

#include "mapping/engine.h"
#include "model/mapping.h"
#include "monitor/monitor.h"
#include "net/service.h"

namespace lumesk::shell {

// Stands in for the window until it exists (and after it has gone).
class EventProxy : public mapping::EngineEventSink, public mapping::MessageLog {
  public:
    void attach(mapping::EngineEventSink* sink, mapping::MessageLog* log) {
        log_ = log;
        sink_ = sink;
    }
    void detach() { attach(nullptr, nullptr); }
    int deliver(const mapping::EngineEvent& event) override {
        mapping::EngineEventSink* sink = sink_;
        return sink ? sink->deliver(event) : -1;
    }
    void appendLog(const std::string& text) override {
        if (mapping::MessageLog* log = log_) log->appendLog(text);
    }

  private:
    std::atomic<mapping::EngineEventSink*> sink_{nullptr};
    std::atomic<mapping::MessageLog*> log_{nullptr};
};

class ProcessState {
  public:
    ProcessState();
    // Starts sockets and both instances with their workers; the results are
    // not looked at (a failed start shows when a mapping will not start).
    void startServices(int workers = 10);
    monitor::StatisticsInput statistics(const model::MappingRecord& copy,
                                        const net::IoRecord* listener);

    model::MappingTable table;
    net::ServiceContext context;
    net::Lock* clientTableLock;
    net::WnSocketService server;
    net::WnSocketService client;
    EventProxy proxy;
    mapping::MappingEngine engine;
};

}  // namespace lumesk::shell
