// The process-wide state, built in its fixed order: the mapping table, the
// service heap and locks, both service instances and the engine. The window
// comes later and receives engine events through the sink.
#pragma once

#include <string>
#include <vector>

#include "mapping/runtime.h"
#include "model/mapping.h"
#include "monitor/monitor.h"
#include "shell/mapping_store.h"
#include "ui/ui_thread_sink.h"

namespace lumesk::shell {

class ProcessState {
  public:
    // `settings`: the folder the mappings are kept in (settingsFolder()).
    explicit ProcessState(const std::string& settings = settingsFolder()) : store_(settings) {}
    // Starts both instances with their workers. Nothing waits on the result
    // (a failed start also shows when a mapping will not start); the texts of
    // what failed are returned for the log, once there is a window.
    std::vector<std::string> startServices(int workers = 10);
    monitor::StatisticsInput statistics(const model::MappingRecord& copy,
                                        const net::IoRecord* listener);

    // The kept mappings into the table, before the window is built; what
    // was skipped and why, for the log.
    std::vector<std::string> loadMappings();
    // Their numbers in the order the tree showed them.
    const std::vector<int>& mappingOrder() const { return order_; }
    // Starts the mappings marked to start with the program, in number order.
    void startMarkedMappings();
    // Keeps the table's mappings, in the tree's order; a text for the log
    // when it cannot.
    std::string keepMappings(const std::vector<int>& order);
    const std::string& mappingsFile() const { return store_.file(); }

    ui::UiThreadSink sink;  // the window's, once there is one
    mapping::Runtime runtime{sink};
    model::MappingTable& table = runtime.table;
    net::ServiceContext& context = runtime.context;
    net::Lock* clientTableLock = runtime.clientTableLock;
    mapping::MappingEngine& engine = runtime.engine;

  private:
    MappingStore store_;
    std::vector<int> order_;
};

}  // namespace lumesk::shell
