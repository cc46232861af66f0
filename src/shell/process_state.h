// The process-wide state, built in its fixed order: the mapping table, the
// service heap and locks, both service instances and the engine. The window
// comes later and receives engine events through the sink.
#pragma once

#include <string>
#include <vector>

#include "mapping/runtime.h"
#include "model/mapping.h"
#include "monitor/monitor.h"
#include "ui/ui_thread_sink.h"

namespace lumesk::shell {

class ProcessState {
  public:
    // Starts both instances with their workers. Nothing waits on the result
    // (a failed start also shows when a mapping will not start); the texts of
    // what failed are returned for the log, once there is a window.
    std::vector<std::string> startServices(int workers = 10);
    monitor::StatisticsInput statistics(const model::MappingRecord& copy,
                                        const net::IoRecord* listener);

    ui::UiThreadSink sink;  // the window's, once there is one
    mapping::Runtime runtime{sink};
    model::MappingTable& table = runtime.table;
    net::ServiceContext& context = runtime.context;
    net::Lock* clientTableLock = runtime.clientTableLock;
    mapping::MappingEngine& engine = runtime.engine;
};

}  // namespace lumesk::shell
