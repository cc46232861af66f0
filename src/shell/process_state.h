// The process-wide state, built in its fixed order: the mapping table, the
// service heap and locks, both service instances and the engine. The window
// comes later and receives engine events through the proxy.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "mapping/runtime.h"
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
    // After it returns no call reaches the old sink: the window may go.
    void detach() {
        attach(nullptr, nullptr);
        while (inFlight_.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    int deliver(const mapping::EngineEvent& event) override {
        inFlight_.fetch_add(1);
        mapping::EngineEventSink* sink = sink_;
        const int result = sink ? sink->deliver(event) : -1;
        inFlight_.fetch_sub(1);
        return result;
    }
    void appendLog(const std::string& text) override {
        if (mapping::MessageLog* log = log_) log->appendLog(text);
    }

  private:
    std::atomic<mapping::EngineEventSink*> sink_{nullptr};
    std::atomic<mapping::MessageLog*> log_{nullptr};
    std::atomic<int> inFlight_{0};
};

class ProcessState {
  public:
    // Starts both instances with their workers. Nothing waits on the result
    // (a failed start also shows when a mapping will not start); the texts of
    // what failed are returned for the log, once there is a window.
    std::vector<std::string> startServices(int workers = 10);
    monitor::StatisticsInput statistics(const model::MappingRecord& copy,
                                        const net::IoRecord* listener);

    EventProxy proxy;
    mapping::Runtime runtime{proxy, proxy};
    model::MappingTable& table = runtime.table;
    net::ServiceContext& context = runtime.context;
    net::Lock* clientTableLock = runtime.clientTableLock;
    mapping::MappingEngine& engine = runtime.engine;
};

}  // namespace lumesk::shell
